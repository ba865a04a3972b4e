// The connect screen as the shell attaches it to the FTP tab: the delegate's browsing connection,
// its passcode screen, its temporary-file cleanup and its document viewer.
#pragma once

#include "platform/ui/ViewController.h"

#include <memory>

class FerrowenAppDelegate;

// Sets the delegate's makers of the FTP tab's root screen and of the remote folder screen on a
// handed-over connection (each when none is set yet).
void attachConnectScreen(const std::shared_ptr<FerrowenAppDelegate> &delegate);
