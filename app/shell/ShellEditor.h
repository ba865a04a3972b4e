// The text editor and the document viewer in the shell: their makers, the services they reach
// the application delegate through, and the reopening of the files that were being edited when
// the application last closed.
#pragma once

#include <memory>

class FerrowenAppDelegate;
class EditorServices;

std::shared_ptr<EditorServices>
makeShellEditorServices(std::weak_ptr<FerrowenAppDelegate> delegate);
