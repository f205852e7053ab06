// The three settings as Python gives them: conversion, validation and the
// messages, for the engine class and the companion's index alike.
#pragma once

#include "convert.hpp"

#include "murvex/scoring.hpp"

namespace murvex::py {

// The threshold in whole thousandths: the single-precision product, clamped
// to 0..65535 (a NaN gives 0) and truncated toward zero.
std::uint16_t to_thousandths(float threshold) noexcept;

// Each throws ValueError with the setting's message when out of range. A
// NaN threshold is neither below 0 nor above 1, so it passes.
void validate_threshold(float threshold);
void validate_max_errors(std::uint32_t max_errors);
void validate_max_results(std::uint64_t max_results);

}  // namespace murvex::py
