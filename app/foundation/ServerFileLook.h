// A look at a server's file before an upload writes over it: the session the upload uses says
// whether the file is there, its size and, as many as the caller asks for, its first bytes. The
// edit state decides from it whether a save back of an edit may go over the file (EditState).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct LookedFile {
  bool looked = false; // false: the session could not look (the server is away, say)
  bool exists = false;
  uint64_t size = 0;
  std::vector<uint8_t> bytes; // the file's first bytes, as many as were asked for
  // The upload writes straight over the file (no temporary name renamed into place): a cut
  // leaves the part of it that had arrived there.
  bool inPlace = false;
  // The session has no way to look at a file (a service that offers no look): nothing is known of
  // the file, and the upload goes as it did before there was a look.
  bool cannotLook = false;
};

// How many of its first bytes to read, told the file's size (0: none).
using BytesToRead = std::function<uint64_t(uint64_t size)>;
// The look itself, on the session the upload uses (off the main thread).
using LookAtServerFile = std::function<LookedFile(const BytesToRead &)>;

// What a save back may do, from such a look.
struct SendBackCheck {
  enum class Outcome {
    Send,      // the file holds what it held when the edit began (or what is being sent)
    Changed,   // changed or removed by another since: nothing goes over it unasked
    NotLooked, // the look failed: as a failed upload, the save waits and tries again
  };
  Outcome outcome = Outcome::Send;
  // The file as found ("size:mtime:hash"; empty when it is not there).
  std::string found;
};
