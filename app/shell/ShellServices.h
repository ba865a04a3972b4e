// The application's implementations of the service interfaces that the foundation's screens, the
// FTP connections and the transfer queue reach the application delegate through. Each holds the
// delegate weakly, so a service call after the delegate went away answers as no delegate would.
#pragma once

#include <memory>

class FerrowenAppDelegate;
class AppDelegateServices;
class FTPAppServices;
class BatchAppServices;

std::shared_ptr<AppDelegateServices>
makeShellAppDelegateServices(std::weak_ptr<FerrowenAppDelegate> delegate);
std::shared_ptr<FTPAppServices> makeShellFTPServices(std::weak_ptr<FerrowenAppDelegate> delegate);
std::shared_ptr<BatchAppServices>
makeShellBatchServices(std::weak_ptr<FerrowenAppDelegate> delegate);
