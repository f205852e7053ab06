#include "settings.hpp"

#include <string>

namespace murvex::py {

std::uint16_t to_thousandths(float threshold) noexcept {
    const float product = threshold * 1000.0f;
    if (!(product > 0.0f)) return 0;
    if (product > 65535.0f) return 65535;
    return static_cast<std::uint16_t>(product);
}

void validate_threshold(float threshold) {
    if (threshold < 0.0f || threshold > 1.0f)
        throw Error::lazy(PyExc_ValueError, "threshold must be between 0.0 and 1.0");
}

void validate_max_errors(std::uint32_t max_errors) {
    if (max_errors > MAX_ERRORS) throw Error::lazy(PyExc_ValueError, "max_errors must be between 0 and 3");
}

void validate_max_results(std::uint64_t max_results) {
    if (max_results > MAX_RESULTS_LIMIT)
        throw Error::lazy(PyExc_ValueError, "max_results must be <= " + std::to_string(MAX_RESULTS_LIMIT));
}

}  // namespace murvex::py
