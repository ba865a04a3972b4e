// A progress or completion message from a connection's thread to the transfer queue: which row
// (`primaryKey`), how many bytes (`bytes`, 64-bit) and which fraction (`progress`). The record
// itself is declared with the connection's services, where every connection reaches it; the
// queue's receivers (`BatchQueueReceiver`) take it by value, so nothing is left to release.
#pragma once

#include "app/ftp/FTPServices.h"
