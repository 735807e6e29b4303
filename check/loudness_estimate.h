// The checker's view of loudness: the integrated loudness of the clean
// render (what --clean and --loudness start from), estimated with the
// renderer's own synthesis and meter, and the lines at which that render
// saturates.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "checker.h"

namespace check {

struct LoudnessEstimate {
    bool measured = false;   // false when the file could not be read again (a pipe)
    bool sampled = false;    // from one second in every few: a long render
    double integrated = 0.0;   // LUFS; minus infinity for silence
    std::vector<Diagnostic> diagnostics;   // the first max_diagnostics
    std::size_t warnings = 0;              // all of them
};

// Renders the sequence in `in` from its start, clean, into the meter; past
// measured_seconds of render, one second in every few is measured. With
// paths (the checker's options) that open background files, those are
// mixed in, resolved against paths->directory and paths->home.
LoudnessEstimate estimate_loudness(std::FILE* in, std::int64_t render_seconds, std::size_t max_diagnostics,
                                   const Options* paths = nullptr, std::int64_t measured_seconds = 300);

// ", clean render about −17.3 LUFS" for the summary line; empty when not measured.
std::string loudness_summary(const LoudnessEstimate& estimate);

}  // namespace check
