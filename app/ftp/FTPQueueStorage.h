// The transfer queue's storage as the FTP connection records its transfers: every download and
// every upload from a file gets a row of the queue (or finds the one it already has), so that the
// queue can finish it later and the transfer reports its progress under that row.
//
// The queue screen (`BatchListView`, the application delegate's `batchView`) implements these
// with its own storage functions of the same names; the connection reaches it through the
// application's services and calls it on the main thread, waiting for the answer. Without a queue
// a transfer simply has no row (key -1).
#pragma once

#include "app/foundation/RemoteName.h"

#include <cstdint>
#include <functional>
#include <string>

class FTPQueueStorage {
public:
  virtual ~FTPQueueStorage() = default;
  // The key of a queued item of this action and these texts, or -1. The file's name and folder
  // are compared with their bytes (see RemoteName).
  virtual int alreadyExists(int action, const RemoteName &filename, RemoteName path, int64_t size,
                            std::string server, int port, const std::string &user,
                            const std::string &password) = 0;
  // Adds an item (or finds the same one queued already) and returns its key.
  virtual int addBatchItemAction(int action, RemoteName filename, RemoteName path, int64_t size,
                                 std::string server, int port, const std::string &user,
                                 const std::string &password, const std::string &protocol,
                                 std::string localpath, bool cleanWhenDone, bool kickstart) = 0;
  // The action of the item with this key, or -1.
  virtual int actionForBatchItemPK(int pk) const = 0;
  // Runs `fn`, whose additions are stored together (a folder's files: one write, not one each).
  virtual void batchUpdates(const std::function<void()> &fn) { fn(); }
};
