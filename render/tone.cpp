// The sine table, the weighted rows, and the reference rules' entry points.
#include "tone.h"

#include <array>
#include <utility>

#include "prefault.h"

namespace render {

std::int32_t table[table_size];
std::int16_t weighted[max_partials][table_size];

namespace {

bool table_built = false;

// Row k of the weighted tables; the weight a constant, so that the division
// is a multiplication.
template <int K>
void fill_row() {
    if constexpr (K > 0)
        for (int i = 0; i < table_size; ++i) weighted[K][i] = static_cast<std::int16_t>(weigh(table[i], K));
}

template <int... K>
constexpr std::array<void (*)(), sizeof...(K)> row_fillers(std::integer_sequence<int, K...>) {
    return {fill_row<K>...};
}

// Rows are filled when a render first needs them: most sequences use
// three partials, and filling all ten took as long as the sine itself.
int rows_filled = 1;   // row 0 is the table itself

}  // namespace

void fill_rows(int n) {
    if (!table_built || n <= rows_filled) return;
    if (n > max_partials) n = max_partials;
    static constexpr auto fillers = row_fillers(std::make_integer_sequence<int, max_partials>{});
    prefault(weighted[rows_filled], sizeof weighted[0] * static_cast<std::size_t>(n - rows_filled));
    for (int k = rows_filled; k < n; ++k) fillers[static_cast<std::size_t>(k)]();
    rows_filled = n;
}

const std::int32_t* sine_table() { return table; }

void build_sine_table() {
    if (table_built) return;
    prefault(table, sizeof table);
    double angle = 0.0;
    const double step = 2.0 * M_PI / 44100.0;
    for (int i = 0; i < table_size; ++i) {
        table[i] = static_cast<std::int32_t>(std::floor(std::sin(angle) * 32768.0));
        angle += step;
    }
    table_built = true;
}

void advance_phases(PhaseBank& bank, int n, double base, double offset) {
    if (n > max_partials) n = max_partials;
    for (int k = 0; k < n; ++k) bank[k] = PhaseStep(partial_step(k, base, offset))(bank[k]);
}

std::int32_t exact_sample(std::int32_t half, double volume) { return sample<Exact>(half, volume); }
std::int32_t clean_sample(std::int32_t half, double volume) { return sample<Clean>(half, volume); }

std::int32_t mix_channel(const PhaseBank& bank, int n, double volume) {
    return sample<Exact>(frame_half(bank, clamp_partials(n)), volume);
}

int highest_unwrapped_volume(int n) {
    double peak = 32768.0 + half_of(bound_for(clamp_partials(n)));
    int v = 100;
    while (v > 0 && std::floor(peak * v / 100.0) > 32767.0) --v;
    return v;
}

}  // namespace render
