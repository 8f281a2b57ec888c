#include "native/mot_text.hpp"

#include "core/interrupt.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <utility>

namespace vestrim::native::mot {

namespace {

// The powers of ten that are exact doubles: a mantissa of at most 15 digits divided by one of them is
// the correctly rounded decimal.
constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                              1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

const char* skip_digits(const char* p, const char* end) {
    while (p < end && is_digit(*p)) ++p;
    return p;
}

std::string_view trimmed(const char* begin, const char* end) {
    while (begin < end && is_blank(*begin)) ++begin;
    while (end > begin && is_blank(end[-1])) --end;
    return {begin, static_cast<std::size_t>(end - begin)};
}

// inf, infinity or nan in any case, with an optional sign: spellings of values that are not finite.
bool spells_non_finite(std::string_view token) {
    if (!token.empty() && (token[0] == '+' || token[0] == '-')) token.remove_prefix(1);
    auto equals = [&](std::string_view word) {
        if (token.size() != word.size()) return false;
        for (std::size_t k = 0; k < word.size(); ++k)
            if ((token[k] | 0x20) != word[k]) return false;
        return true;
    };
    return equals("inf") || equals("infinity") || equals("nan");
}

}  // namespace

// Frames and ids: [+-]?[0-9]+, or an integral decimal ([+-]?[0-9]*.0* with a digit somewhere).
Fault parse_integer(std::string_view token, std::int64_t& out) {
    const char* p = token.data();
    const char* end = p + token.size();
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const char* digits = p;
    p = skip_digits(p, end);
    const char* digits_end = p;
    bool any_digit = digits_end > digits;
    if (p < end && *p == '.') {
        const char* fraction = ++p;
        while (p < end && *p == '0') ++p;
        any_digit = any_digit || p > fraction;
    }
    if (p != end || !any_digit) return Fault::NotInteger;
    while (digits < digits_end && *digits == '0') ++digits;
    if (digits_end - digits > 19) return Fault::IntegerRange;
    std::uint64_t magnitude = 0;
    for (const char* d = digits; d < digits_end; ++d) magnitude = magnitude * 10 + std::uint64_t(*d - '0');
    constexpr std::uint64_t kMax = std::uint64_t(std::numeric_limits<std::int64_t>::max());
    if (magnitude > kMax + (negative ? 1 : 0)) return Fault::IntegerRange;
    out = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    return Fault::None;
}

// Other values: [+-]?(digits[.digits] | .digits)([eE][+-]?digits)?, finite once rounded.
Fault parse_number(std::string_view token, double& out) {
    const char* begin = token.data();
    const char* end = begin + token.size();
    const char* p = begin;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    const char* int_digits = p;
    p = skip_digits(p, end);
    const char* int_end = p;
    const char* frac_digits = p;
    const char* frac_end = p;
    if (p < end && *p == '.') {
        frac_digits = ++p;
        frac_end = p = skip_digits(p, end);
    }
    bool valid = int_end > int_digits || frac_end > frac_digits;
    if (valid && p == end) {
        // No exponent: with at most 15 significant digits the digits are exactly a double and
        // 10^k (k <= 22) too, so one correctly rounded division or product gives the correctly
        // rounded value, as from_chars would.
        std::uint64_t mantissa = 0;
        int significant = 0;
        auto take = [&](const char* d, const char* d_end) {
            for (; d < d_end; ++d) {
                if (significant == 0 && *d == '0') continue;
                mantissa = mantissa * 10 + std::uint64_t(*d - '0');
                if (++significant > 15) return;
            }
        };
        take(int_digits, int_end);
        take(frac_digits, frac_end);
        const long scale = long(frac_end - frac_digits);
        if (significant <= 15 && scale <= 22) {
            const double magnitude = double(mantissa) / kPowers[scale];
            out = *begin == '-' ? -magnitude : magnitude;
            return Fault::None;
        }
    }
    long exponent = 0;  // saturated: only its sign matters once the value is out of range
    if (valid && p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negative = p < end && *p == '-';
        if (p < end && (*p == '+' || *p == '-')) ++p;
        const char* exp_digits = p;
        for (; p < end && is_digit(*p); ++p) exponent = std::min(exponent * 10 + (*p - '0'), 1'000'000'000L);
        valid = p > exp_digits;
        if (negative) exponent = -exponent;
    }
    if (!valid || p != end) return spells_non_finite(token) ? Fault::NotFinite : Fault::NotNumber;
    // from_chars takes a leading '-' but not '+'.
    const char* first = *begin == '+' ? begin + 1 : begin;
    double value = 0;
    auto [ptr, ec] = std::from_chars(first, end, value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // Out of range means overflow when the leading significant digit has a non-negative
        // decimal exponent (the value is at least 1), underflow to zero otherwise.
        const char* lead = int_digits;
        while (lead < int_end && *lead == '0') ++lead;
        long lead_exponent;
        if (lead < int_end) {
            lead_exponent = long(int_end - lead) - 1 + exponent;
        } else {
            const char* f = frac_digits;
            while (f < frac_end && *f == '0') ++f;
            lead_exponent = -long(f - frac_digits) - 1 + exponent;
        }
        if (lead_exponent >= 0) return Fault::NotFinite;
        out = *begin == '-' ? -0.0 : 0.0;
        return Fault::None;
    }
    if (ec != std::errc() || ptr != end) return Fault::NotNumber;
    if (!std::isfinite(value)) return Fault::NotFinite;
    out = value;
    return Fault::None;
}

std::size_t count_lines(std::string_view text) {
    // Eight bytes at a time: a byte equal to '\n' becomes 0x80 in `hits`, every other byte 0.
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7fULL;
    std::size_t count = 0;
    std::size_t k = 0;
    interrupt::Meter meter;  // a file of gigabytes takes a while
    for (; k + 8 <= text.size(); k += 8) {
        if ((k & 0xffff) == 0) meter.add(0x10000 / 8);
        std::uint64_t word;
        std::memcpy(&word, text.data() + k, 8);
        const std::uint64_t x = word ^ (kOnes * '\n');
        const std::uint64_t hits = ~(((x & kLow7) + kLow7) | x | kLow7);
        count += std::size_t(((hits >> 7) * kOnes) >> 56);  // the sum of the 0/1 bytes
    }
    for (; k < text.size(); ++k) count += text[k] == '\n';
    if (!text.empty() && text.back() != '\n') ++count;
    return count;
}

Parser::Parser(std::string_view text, int columns, const Columns& out)
    : pos_(text.data()), end_(text.data() + text.size()), columns_(columns), out_(out) {
    // A byte-order mark is how some editors start a UTF-8 file.
    if (text.starts_with("\xEF\xBB\xBF")) pos_ += 3;
}

bool Parser::step(std::size_t max_lines) {
    for (std::size_t n = 0; n < max_lines && pos_ < end_; ++n) {
        const char* newline = static_cast<const char*>(std::memchr(pos_, '\n', std::size_t(end_ - pos_)));
        const char* line_end = newline ? newline : end_;
        const char* next = newline ? newline + 1 : end_;
        if (line_end > pos_ && line_end[-1] == '\r') --line_end;
        ++line_;
        if (!parse_line(pos_, line_end)) {
            pos_ = end_;
            return false;
        }
        pos_ = next;
    }
    return pos_ < end_;
}

bool Parser::parse_line(const char* begin, const char* end) {
    if (parse_plain_line(begin, end)) return true;
    const char* first = begin;
    while (first < end && is_blank(*first)) ++first;
    if (first == end) return true;  // blank

    std::string_view fields[8];
    int count = 0;
    for (const char* q = begin;;) {
        const char* comma = static_cast<const char*>(std::memchr(q, ',', std::size_t(end - q)));
        const char* field_end = comma ? comma : end;
        if (count < columns_) fields[count] = trimmed(q, field_end);
        ++count;
        if (!comma || count >= columns_) break;
        q = comma + 1;
    }
    auto fail = [&](Fault fault, int field = 0) {
        failure_.fault = fault;
        failure_.line = line_;
        failure_.field = field;
        if (fault != Fault::FewValues) failure_.token = fields[field];
        return false;
    };
    if (count < kMinValues) {
        failure_.count = std::size_t(count);
        return fail(Fault::FewValues);
    }

    std::int64_t frame = 0, id = 0;
    if (Fault f = parse_integer(fields[0], frame); f != Fault::None) return fail(f, 0);
    if (Fault f = parse_integer(fields[1], id); f != Fault::None) return fail(f, 1);
    double values[8] = {0, 0, 0, 0, 0, 0, std::nan(""), std::nan("")};
    for (int k = 2; k < count; ++k)
        if (Fault f = parse_number(fields[k], values[k]); f != Fault::None) return fail(f, k);
    if (frame < 1 || frame > kMaxFrame) {
        failure_.value = frame;
        return fail(frame < 1 ? Fault::FrameTooSmall : Fault::FrameTooLarge);
    }
    const double box[4] = {values[2], values[3], values[2] + values[4], values[3] + values[5]};
    for (double v : box)
        if (!(std::fabs(v) <= kMaxCoordinate)) return fail(Fault::Coordinates);
    store(frame, id, values);
    return true;
}

void Parser::store(std::int64_t frame, std::int64_t id, const double* values) {
    const std::size_t r = rows_++;
    out_.frames[r] = frame;
    out_.ids[r] = id;
    double* box = out_.boxes + 4 * r;
    box[0] = values[2];
    box[1] = values[3];
    box[2] = values[2] + values[4];
    box[3] = values[3] + values[5];
    out_.conf[r] = values[6];
    out_.classes[r] = values[7];
    out_.lines[r] = std::int64_t(line_);
    last_frame_ = std::max(last_frame_, frame);
}

bool Parser::parse_plain_line(const char* p, const char* end) {
    // Only what the full parser accepts with the same value: short integers, and decimals
    // without exponent that take the exact division path of parse_number.
    std::int64_t whole[2] = {0, 0};
    double values[8] = {0, 0, 0, 0, 0, 0, std::nan(""), std::nan("")};
    int count = 0;
    while (count < columns_) {
        while (p < end && is_blank(*p)) ++p;
        const bool negative = p < end && *p == '-';
        if (p < end && (*p == '-' || *p == '+')) ++p;
        std::uint64_t mantissa = 0;
        const char* int_digits = p;
        for (; p < end && is_digit(*p); ++p) mantissa = mantissa * 10 + std::uint64_t(*p - '0');
        const long int_count = long(p - int_digits);
        long scale = 0;  // digits after the point
        if (count >= 2 && p < end && *p == '.') {
            const char* fraction = ++p;
            for (; p < end && is_digit(*p); ++p) mantissa = mantissa * 10 + std::uint64_t(*p - '0');
            scale = long(p - fraction);
        }
        // Up to 15 digits (leading zeros included) are exactly a double.
        if (int_count + scale == 0 || int_count + scale > 15) return false;
        if (count < 2) {
            whole[count] = negative ? -std::int64_t(mantissa) : std::int64_t(mantissa);
        } else {
            const double magnitude = double(mantissa) / kPowers[scale];
            values[count] = negative ? -magnitude : magnitude;
        }
        ++count;
        while (p < end && is_blank(*p)) ++p;
        if (p == end) break;
        if (*p != ',') return false;
        ++p;
    }
    if (count < kMinValues || whole[0] < 1 || whole[0] > kMaxFrame) return false;
    const double box[4] = {values[2], values[3], values[2] + values[4], values[3] + values[5]};
    for (double v : box)
        if (!(std::fabs(v) <= kMaxCoordinate)) return false;
    store(whole[0], whole[1], values);
    return true;
}

Failure Parser::finish(bool check_repeats) {
    if (!check_repeats) return failure_;
    if (auto repeat = first_repeated_pair(out_.frames, out_.ids, rows_)) {
        const std::size_t line = std::size_t(out_.lines[*repeat]);
        // A repeat before the first malformed line is the first fault in the file.
        if (failure_.fault == Fault::None || line < failure_.line) {
            failure_ = Failure{};
            failure_.fault = Fault::Duplicate;
            failure_.line = line;
            failure_.value = out_.frames[*repeat];
            failure_.id = out_.ids[*repeat];
        }
    }
    return failure_;
}

std::optional<std::size_t> first_repeated_pair(const std::int64_t* frames, const std::int64_t* ids,
                                               std::size_t n) {
    std::optional<std::size_t> first;
    auto note = [&](std::size_t row) {
        if (!first || row < *first) first = row;
    };
    interrupt::Meter meter;  // millions of rows take a while: each row's probe or comparison counts
    if (std::is_sorted(frames, frames + n)) {
        // The usual file, frame by frame: a repeat lies within one run of equal frames, and the
        // first run holding one holds the earliest. Each run's ids go into an open-addressing
        // table stamped with the run's number, so that nothing needs clearing between runs.
        std::vector<std::pair<std::int64_t, std::size_t>> table;  // (id, run stamp); stamp 0: empty
        std::size_t stamp = 0;
        for (std::size_t lo = 0, hi = 0; lo < n; lo = hi) {
            while (hi < n && frames[hi] == frames[lo]) ++hi;
            if (hi - lo < 2) continue;
            std::size_t size = 16;
            while (size < 2 * (hi - lo)) size *= 2;
            if (table.size() < size) table.assign(size, {0, 0});
            const std::size_t mask = table.size() - 1;
            ++stamp;
            meter.add(16 * (hi - lo));
            for (std::size_t r = lo; r < hi; ++r) {
                std::size_t slot = std::size_t(std::uint64_t(ids[r]) * 0x9E3779B97F4A7C15ULL >> 32) & mask;
                while (table[slot].second == stamp && table[slot].first != ids[r]) slot = (slot + 1) & mask;
                if (table[slot].second == stamp) return r;
                table[slot] = {ids[r], stamp};
            }
        }
        return std::nullopt;
    }
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        meter.add(8);
        return frames[a] != frames[b] ? frames[a] < frames[b] : ids[a] < ids[b];
    });
    for (std::size_t k = 1; k < n; ++k)
        if (frames[order[k]] == frames[order[k - 1]] && ids[order[k]] == ids[order[k - 1]]) note(order[k]);
    return first;
}

}  // namespace vestrim::native::mot
