// The player's oscillator bank: unsigned 8-bit frames from an integer sine
// table, partial k at 2^k times the base, weighted 1/2^k.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

constexpr double phase_modulus = 11025.0;

// One cycle in N entries of amplitude 127, allocated with at least 11025
// entries (2N, or more for small N) so that every phase index is readable.
std::vector<std::int32_t> make_sine_table(unsigned n);

// Builds the table for the granted rate N and keeps it in the player's
// state. False when it cannot be allocated.
bool build_sine_table(unsigned n);

using Phase = std::atomic<double>;

void advance_phases(Phase* bank, int count, double base, double offset);
std::int32_t mix_channel(const std::int32_t* table, const Phase* bank, int count, double volume);

// One frame from the shared state: both banks advanced, then left and right
// mixed. Without a table (it could not be allocated) the frame is the rest
// level, silence.
void compute_frame(const std::int32_t* table, unsigned char& left, unsigned char& right);
