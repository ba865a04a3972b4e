#include "sshlib/core/RazudodObject.h"

#include <atomic>

namespace {
// Connections run library code on several threads at once, so ids are taken atomically.
std::atomic<uint64_t> g_nextObjectId{100};
} // namespace

RazudodObject::RazudodObject() : m_objectId(g_nextObjectId.fetch_add(1)) {}

RazudodObject::RazudodObject(const RazudodObject &) : m_objectId(g_nextObjectId.fetch_add(1)) {}

RazudodObject::~RazudodObject() = default;
