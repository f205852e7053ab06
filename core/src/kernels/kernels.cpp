#include "kernels.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "../platform.hpp"

#if defined(MURVEX_X86)
#if !defined(MURVEX_MSVC)
#include <cpuid.h>
#endif
#include "x86_features.hpp"
#endif

namespace murvex::detail {

#if defined(MURVEX_X86)
namespace {

// Leaf `leaf` (subleaf 0) into the four registers; false where the CPU has
// no such leaf.
bool cpuid(unsigned leaf, unsigned& eax, unsigned& ebx, unsigned& ecx, unsigned& edx) noexcept {
#if defined(MURVEX_MSVC)
    int registers[4];
    __cpuid(registers, static_cast<int>(leaf & 0x80000000u));
    if (static_cast<unsigned>(registers[0]) < leaf) return false;
    __cpuidex(registers, static_cast<int>(leaf), 0);
    eax = static_cast<unsigned>(registers[0]), ebx = static_cast<unsigned>(registers[1]);
    ecx = static_cast<unsigned>(registers[2]), edx = static_cast<unsigned>(registers[3]);
    return true;
#else
    return __get_cpuid_count(leaf, 0, &eax, &ebx, &ecx, &edx) != 0;
#endif
}

// XCR0: which register states the system saves.
std::uint64_t xgetbv0() noexcept {
#if defined(MURVEX_MSVC)
    return _xgetbv(0);
#else
    std::uint32_t low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return std::uint64_t{high} << 32 | low;
#endif
}

}  // namespace

const X86Features& x86_features() noexcept {
    static const X86Features features = [] {
        X86Features found;
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        if (!cpuid(1, eax, ebx, ecx, edx)) return found;
        found.ssse3 = (ecx >> 9 & 1) != 0;
        // The wider registers need the system to save them: XCR0, read by
        // xgetbv where the system says it may be (OSXSAVE).
        if (!(ecx >> 27 & 1)) return found;
        const std::uint64_t xcr0 = xgetbv0();
        const bool avx_state = (xcr0 & 0x6) == 0x6, avx512_state = (xcr0 & 0xE6) == 0xE6;
        if (!cpuid(7, eax, ebx, ecx, edx)) return found;
        found.avx2 = avx_state && (ebx >> 5 & 1);
        found.avx512bw = avx512_state && (ebx >> 16 & 1) && (ebx >> 30 & 1);
        return found;
    }();
    return features;
}
#endif

namespace {

// Fills `lanes` (zeroed) from the pattern.
void fill_lane_pattern(const Pattern& pattern, LanePattern& lanes) noexcept {
    const std::size_t m = pattern.len;
    if (m == 0) return;
    lanes.planes = static_cast<int>((m + 7) / 8);
    lanes.accept = static_cast<std::uint8_t>(1u << ((m - 1) % 8));
    lanes.first = pattern.first;
    lanes.first_upper = pattern.first_upper;
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint8_t x = pattern.bytes[i];  // folded: a small letter stands for its capital too
        const auto bit = static_cast<std::uint8_t>(1u << (i % 8));
        auto& lo = lanes.lo[i / 8];
        auto& hi = lanes.hi[i / 8];
        lo[x & 15] |= bit;
        hi[x >> 4] |= bit;
        if (x >= 'a' && x <= 'z') hi[(x - 0x20) >> 4] |= bit;
    }
    for (int plane = 0; plane < lanes.planes; ++plane)
        for (std::size_t copy = 16; copy < 64; copy += 16) {
            std::memcpy(lanes.lo[plane].data() + copy, lanes.lo[plane].data(), 16);
            std::memcpy(lanes.hi[plane].data() + copy, lanes.hi[plane].data(), 16);
        }
}

}  // namespace

// What a form's file defines, in a namespace named after its instruction
// set: whether the CPU runs it, the lane kernel, and where it has one, the
// eight-lane writer.
#define MURVEX_FORM(form)                                                                               \
    namespace form {                                                                                    \
    bool available() noexcept;                                                                          \
    void scan_block(const CompiledQuery& query, std::uint32_t k, const LaneBlock& block,                \
                    std::uint64_t active, std::size_t rows, LaneMatches& matches) noexcept;             \
    void scan_pack(std::span<const PackMember> members, const LaneBlock& block) noexcept;               \
    void write_eight(const std::string_view* texts, std::uint8_t* lane, std::uint64_t* masks) noexcept; \
    }

// Every form this build holds, widest first. A new instruction set is a file
// of its own (see avx2.cpp), one line here and one row below (and its name
// in the Kernel enum).
#if defined(MURVEX_X86)
MURVEX_FORM(avx512)
MURVEX_FORM(avx2)
MURVEX_FORM(ssse3)
#elif defined(MURVEX_ARM64)
MURVEX_FORM(neon)
#endif
MURVEX_FORM(one_by_one)

namespace {

constexpr KernelForm FORMS[] = {
#if defined(MURVEX_X86)
    {Kernel::avx512, "avx512", avx512::available, avx512::scan_block, avx512::scan_pack, 4, nullptr},
    {Kernel::avx2, "avx2", avx2::available, avx2::scan_block, avx2::scan_pack, 2, avx2::write_eight},
    {Kernel::ssse3, "ssse3", ssse3::available, ssse3::scan_block, ssse3::scan_pack, 1, nullptr},
#elif defined(MURVEX_ARM64)
    {Kernel::neon, "neon", neon::available, neon::scan_block, neon::scan_pack, 2, nullptr},
#endif
    {Kernel::one_by_one, "one_by_one", one_by_one::available, one_by_one::scan_block, one_by_one::scan_pack,
     4, portable::write_eight},
};

const KernelForm* find_form(Kernel kernel) noexcept {
    for (const KernelForm& form : FORMS)
        if (form.kernel == kernel) return &form;
    return nullptr;
}

}  // namespace

CompiledQuery compile_query(std::string_view query, bool forgiving) noexcept {
    CompiledQuery compiled{.pattern = compile(query), .lanes = {}, .forgiving = forgiving};  // built in place
    fill_lane_pattern(compiled.pattern, compiled.lanes);
    return compiled;
}

std::span<const KernelForm> kernel_forms() noexcept { return FORMS; }

// The first form this CPU runs: the one-by-one matcher, last, runs on every one.
const KernelForm& widest_form() noexcept {
    for (const KernelForm& form : FORMS)
        if (form.available()) return form;
    return FORMS[std::size(FORMS) - 1];
}

const KernelForm& kernel_form(Kernel kernel) noexcept {
    static const KernelForm& widest = widest_form();
    const KernelForm* form = find_form(kernel);
    return form && form->available() ? *form : widest;
}

// The first form this CPU runs that has an eight-lane writer: the one-by-one
// form, last, has the portable one.
EightLanesWriter eight_lanes_writer() noexcept {
    static const EightLanesWriter widest = [] {
        for (const KernelForm& form : FORMS)
            if (form.write_eight && form.available()) return form.write_eight;
        return FORMS[std::size(FORMS) - 1].write_eight;
    }();
    return widest;
}

// The matcher on each active lane in turn: the form every CPU runs.
namespace one_by_one {

bool available() noexcept { return true; }

void scan_block(const CompiledQuery& query, std::uint32_t k, const LaneBlock& block, std::uint64_t active,
                std::size_t /*rows*/, LaneMatches& matches) noexcept {
    matches.found = 0;
    char text[LANE_TEXT_LIMIT];
    for (; active; active &= active - 1) {
        const int lane = std::countr_zero(active);
        const std::size_t length = block.lengths[lane] & ~LaneBlock::WINDOW;
        for (std::size_t p = 0; p < length; ++p)
            text[p] = static_cast<char>(block.data[p * LANES + static_cast<std::size_t>(lane)]);
        const std::string_view lane_text(text, length);
        const auto match = query.forgiving ? best_match_forgiving(query.pattern, k, lane_text)
                                           : best_match(query.pattern, k, lane_text);
        if (match) {
            matches.found |= std::uint64_t{1} << lane;
            matches.errors[lane] = static_cast<std::uint8_t>(match->errors);
            matches.end[lane] = static_cast<std::uint32_t>(match->end);
        }
    }
}

// Each member on its own: what every form's pass must give.
void scan_pack(std::span<const PackMember> members, const LaneBlock& block) noexcept {
    scan_each(scan_block, members, block);
}
}  // namespace one_by_one

}  // namespace murvex::detail

namespace murvex {

bool kernel_available(Kernel kernel) noexcept {
    if (kernel == Kernel::automatic) return true;
    const detail::KernelForm* form = detail::find_form(kernel);
    return form && form->available();
}

Kernel widest_kernel() noexcept { return detail::kernel_form(Kernel::automatic).kernel; }

std::vector<Kernel> available_kernels() {
    std::vector<Kernel> kernels;
    for (const detail::KernelForm& form : detail::kernel_forms())
        if (form.available()) kernels.push_back(form.kernel);
    return kernels;
}

const char* kernel_name(Kernel kernel) noexcept {
    if (kernel == Kernel::automatic) return "automatic";
    const detail::KernelForm* form = detail::find_form(kernel);
    return form ? form->name : "unknown";
}

std::optional<Kernel> kernel_named(std::string_view name) noexcept {
    if (name == "automatic") return Kernel::automatic;
    for (const detail::KernelForm& form : detail::kernel_forms())
        if (name == form.name) return form.kernel;
    return std::nullopt;
}

}  // namespace murvex
