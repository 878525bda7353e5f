// A keyed hash for tables whose keys come from uploaders: without the key, no
// one can pick names that crowd into one part of a table and make every lookup
// walk them all.
#pragma once

#include <cstdint>
#include <string_view>

namespace kuvo {

struct HashKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

// SipHash-2-4 of `data` under `key`. Cannot fail.
std::uint64_t keyed_hash(const HashKey& key, std::string_view data);

// SipHash-1-3 of `data` under `key`: half the rounds, for hash tables, whose
// hashes never leave the run. Without the key, nobody can predict the hashes
// of chosen names any better than with SipHash-2-4; what the extra rounds
// add is a margin for a key that must stay secret while its outputs are
// seen. Cannot fail.
std::uint64_t table_hash(const HashKey& key, std::string_view data);

// A key drawn once per run from the system's random source (or, should that
// fail, from the clock, the process id and the address space). Cannot fail.
const HashKey& run_hash_key();

}  // namespace kuvo
