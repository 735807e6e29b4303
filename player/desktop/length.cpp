// The one place the player asks the checker how long a sequence plays:
// the same interpreter that ambrise-check runs.
#include "catalog.h"

#include "checker.h"

namespace desk {

std::int64_t sequence_player_seconds(const char* path) {
    std::FILE* f = open_regular(path);
    if (!f) return -1;
    check::Options options;
    options.max_diagnostics = 0;
    options.max_steps = 0;
    // A sequence is a few hundred lines; the window does not wait for more.
    options.max_lines = 200'000;
    options.max_bytes = std::int64_t{16} << 20;
    check::Report report = check::check_sequence(f, options);
    std::fclose(f);
    return report.complete() ? report.player_seconds : -1;
}

}  // namespace desk
