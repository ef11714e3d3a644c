// Records the largest single heap request made while a probe is alive, so that a test can
// prove that a picture claiming enormous dimensions is refused before anything big is asked
// for (a lazily committed 4 GB block would pass unnoticed otherwise).
#pragma once

#include <cstddef>

class AllocationProbe {
 public:
  AllocationProbe();
  ~AllocationProbe();
  AllocationProbe(const AllocationProbe&) = delete;
  AllocationProbe& operator=(const AllocationProbe&) = delete;

  // The largest request (malloc, calloc, realloc, operator new) seen since construction.
  std::size_t Largest() const;
};
