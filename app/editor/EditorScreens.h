// How the shell makes the editor's screens: the text editor and the document viewer on a file,
// and the two ways the next start reopens files that were being edited (every used file-tab slot
// on iPad; on iPhone the one file of the plain record, on the browsing connection).
#pragma once

#include "app/shell/ShellScreens.h"

#include <functional>
#include <memory>
#include <string>

class EditFileView;
class FTPConnection;

// Fills the makers the shell has not filled yet: `textEditor` and `documentViewer`.
void installEditorMakers(ScreenMakers &makers);

// iPad: for every slot below "TabIndexMax" whose "%i-IndexIsUsed" is "1", in order, an editor on
// the slot's working file with the slot's server, user and password (given to it through the
// settings "ServerAddress", "UserName" and "UserPass", which are put back afterwards), handed to
// `show` with its file name. The caller renumbers the tabs afterwards.
void restoreEditFiles(
    const std::function<void(std::shared_ptr<EditFileView>, const std::string &name)> &show);

// iPhone: the editor on the file of the plain record ("EditingFTPFile"), on the connection,
// read-only when there is none or it logs in with no user (`loginUser`: what the caller just gave
// the connection, which takes it on its own thread later); none when the file is gone.
std::shared_ptr<EditFileView> editPreviouslySavedFile(std::shared_ptr<FTPConnection> connection,
                                                      const std::string &loginUser);
