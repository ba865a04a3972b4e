// Placeholder until the run loops land: nothing to wake yet.
namespace platform::detail {
void notifyClockMoved() {}
} // namespace platform::detail
