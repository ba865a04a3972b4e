// How the shell makes the editor's screens: the text editor and the document viewer on a file,
// and the two ways the next start reopens files that were being edited (every used file-tab slot
// on iPad; on iPhone the one file of the plain record, on the browsing connection).
#pragma once

#include "app/shell/ShellScreens.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class EditFileView;
class FTPConnection;
class SFTPWrapper;

// Fills the makers the shell has not filled yet: `textEditor` and `documentViewer`.
void installEditorMakers(ScreenMakers &makers);

// iPad: for every slot below "TabIndexMax" whose "%i-IndexIsUsed" is "1", in order, an editor on
// the slot's working file with the slot's server, user and password (given to it through the
// settings "ServerAddress", "UserName" and "UserPass", which are put back afterwards) and the
// slot's port and protocol, handed to `show` with its file name. A slot that does not say which
// connection its file came from (written by an earlier version) opens nowhere: its file name is
// returned instead. The caller renumbers the tabs afterwards.
std::vector<std::string> restoreEditFiles(
    const std::function<void(std::shared_ptr<EditFileView>, const std::string &name)> &show);

// iPhone: the editor on the file of the plain record ("EditingFTPFile"), on the connection,
// read-only when there is none or it logs in with no user (`loginUser`: what the caller just gave
// the connection, which takes it on its own thread later); none when the file is gone.
std::shared_ptr<EditFileView> editPreviouslySavedFile(std::shared_ptr<FTPConnection> connection,
                                                      const std::string &loginUser);
// The same on an SFTP connection.
std::shared_ptr<EditFileView> editPreviouslySavedFile(std::shared_ptr<SFTPWrapper> connection);
