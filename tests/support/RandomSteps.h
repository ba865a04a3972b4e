// Random sequences of steps run against a model: the seed and the number of sequences come from
// the environment (so a run found once is run again by hand), a failing sequence is shrunk to a
// short list of steps that still fails, and the seed and that list are printed so that the list
// can be kept as a case of its own.
//
//   FERROWEN_SEQUENCE_SEED=<n>   the first sequence's seed (default: from the clock)
//   FERROWEN_SEQUENCES=<n>       how many sequences (default: the test's own number)
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace testsupport {

inline uint64_t sequenceSeed() {
  if (const char *s = std::getenv("FERROWEN_SEQUENCE_SEED"); s && *s)
    return std::strtoull(s, nullptr, 10);
  return static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
}

inline size_t sequenceCount(size_t byDefault) {
  if (const char *s = std::getenv("FERROWEN_SEQUENCES"); s && *s)
    return static_cast<size_t>(std::strtoull(s, nullptr, 10));
  return byDefault;
}

// The shortest sequence found that still fails: whole chunks of steps go while the rest fails,
// then single steps (each try runs the sequence again from a fresh start). `fails` returns the
// fault seen, empty when the sequence passes.
template <class Step>
std::vector<Step> shrinkSteps(std::vector<Step> steps,
                              const std::function<std::string(const std::vector<Step> &)> &fails,
                              size_t maxTries = 400) {
  size_t tries = 0;
  for (size_t chunk = steps.size() / 2; chunk >= 1 && tries < maxTries; chunk /= 2) {
    bool removed = true;
    while (removed && tries < maxTries) {
      removed = false;
      for (size_t at = 0; at + chunk <= steps.size() && tries < maxTries;) {
        std::vector<Step> shorter(steps.begin(), steps.begin() + static_cast<long>(at));
        shorter.insert(shorter.end(), steps.begin() + static_cast<long>(at + chunk), steps.end());
        ++tries;
        if (!fails(shorter).empty()) {
          steps = std::move(shorter);
          removed = true;
        } else {
          at += chunk;
        }
      }
    }
    if (chunk == 1) break;
  }
  return steps;
}

} // namespace testsupport
