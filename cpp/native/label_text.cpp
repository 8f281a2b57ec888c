#include "native/label_text.hpp"

#include <cmath>
#include <cstring>
#include <iterator>
#include <utility>

#include "native/mot_text.hpp"

namespace vestrim::native::labels {

namespace {

// The white space Python's bytes.split() splits at.
bool is_space(char c) { return c == ' ' || static_cast<unsigned char>(c - '\t') <= 4; }

// Splits `line` at runs of white space; stores the first `max` fields and returns how many were
// found, counting no further than `max`.
int split(std::string_view line, std::string_view* fields, int max) {
    const char* p = line.data();
    const char* end = p + line.size();
    int count = 0;
    while (count < max) {
        while (p < end && is_space(*p)) ++p;
        if (p == end) break;
        const char* start = p;
        while (p < end && !is_space(*p)) ++p;
        fields[count++] = {start, static_cast<std::size_t>(p - start)};
    }
    return count;
}

Fault from_mot(mot::Fault f) {
    switch (f) {
        case mot::Fault::None: return Fault::None;
        case mot::Fault::NotInteger: return Fault::NotInteger;
        case mot::Fault::IntegerRange: return Fault::IntegerRange;
        case mot::Fault::NotFinite: return Fault::NotFinite;
        default: return Fault::NotNumber;
    }
}

// The code of a KITTI type name, compared ignoring ASCII case; -1 for none.
int type_code(std::string_view token) {
    constexpr std::size_t kLongest = 10;  // "pedestrian"
    if (token.size() > kLongest) return -1;
    char lower[kLongest];
    for (std::size_t k = 0; k < token.size(); ++k) {
        const char c = token[k];
        lower[k] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    const std::string_view name(lower, token.size());
    if (name == "car_2") return 0;
    for (int code = 0; code < int(std::size(kKittiTypes)); ++code)
        if (name == kKittiTypes[code]) return code;
    return -1;
}

// Truncated toward zero, and without a negative zero: the value as an integer.
double whole_part(double v) { return std::trunc(v) + 0.0; }

}  // namespace

std::string_view LineReader::next() {
    const char* begin = pos_;
    const char* newline = static_cast<const char*>(std::memchr(pos_, '\n', static_cast<std::size_t>(end_ - pos_)));
    const char* line_end = newline ? newline : end_;
    pos_ = newline ? newline + 1 : end_;
    if (line_end > begin && line_end[-1] == '\r') --line_end;
    ++number_;
    return {begin, static_cast<std::size_t>(line_end - begin)};
}

bool KittiParser::parse_line(std::string_view line) {
    std::string_view fields[kKittiValues];
    const int count = split(line, fields, kKittiValues);
    if (count == 0) return true;  // blank
    if (count < kKittiValues) {
        failure_.count = static_cast<std::size_t>(count);
        return fail(fields, Fault::FewValues);
    }
    std::int64_t whole[2];
    for (int k = 0; k < 2; ++k)
        if (Fault f = from_mot(mot::parse_integer(fields[k], whole[k])); f != Fault::None) return fail(fields, f, k);
    const int type = type_code(fields[2]);
    if (type < 0) return fail(fields, Fault::UnknownType, 2);
    // truncated, occluded, then the box; the alpha (5th value) is not read.
    constexpr int kRead[] = {3, 4, 6, 7, 8, 9};
    double values[std::size(kRead)];
    for (std::size_t k = 0; k < std::size(kRead); ++k)
        if (Fault f = from_mot(mot::parse_number(fields[kRead[k]], values[k])); f != Fault::None)
            return fail(fields, f, kRead[k]);
    for (std::size_t k = 2; k < std::size(kRead); ++k)
        if (!(std::fabs(values[k]) <= mot::kMaxCoordinate)) return fail(fields, Fault::Coordinates);

    const std::size_t r = rows_++;
    out_.frames[r] = whole[0];
    out_.ids[r] = whole[1];
    out_.types[r] = static_cast<std::int8_t>(type);
    out_.truncated[r] = whole_part(values[0]);
    out_.occluded[r] = whole_part(values[1]);
    std::memcpy(out_.boxes + 4 * r, values + 2, 4 * sizeof(double));
    out_.lines[r] = static_cast<std::int64_t>(lines_.number());
    return true;
}

bool MotsParser::parse_line(std::string_view line) {
    std::string_view fields[kMotsValues];
    const int count = split(line, fields, kMotsValues);
    if (count == 0) return true;  // blank
    if (count < kMotsValues) {
        failure_.count = static_cast<std::size_t>(count);
        return fail(fields, Fault::FewValues);
    }
    std::int64_t values[kMotsValues - 1];  // frame, id, class, height, width
    for (int k = 0; k < kMotsValues - 1; ++k)
        if (Fault f = from_mot(mot::parse_integer(fields[k], values[k])); f != Fault::None)
            return fail(fields, f, k);
    const std::int64_t h = values[3], w = values[4];
    if (h < 0 || w < 0) {
        failure_.height = h;
        failure_.width = w;
        return fail(fields, Fault::NegativeSize);
    }
    auto rle = mask::Rle::from_compressed(static_cast<std::uint64_t>(h), static_cast<std::uint64_t>(w), fields[5]);
    if (!rle) {
        failure_.message = std::move(rle.error());
        return fail(fields, Fault::Mask, 5);
    }

    const std::size_t r = rows_++;
    out_.frames[r] = values[0];
    out_.ids[r] = values[1];
    out_.classes[r] = values[2];
    out_.sizes[2 * r] = h;
    out_.sizes[2 * r + 1] = w;
    // An area beyond 2^63 - 1 would need a counts string of gigabytes per line.
    out_.areas[r] = static_cast<std::int64_t>(rle->area());
    out_.lines[r] = static_cast<std::int64_t>(lines_.number());
    out_.masks->push_back(std::move(*rle));
    return true;
}

// Defined beside both parse_line, so that each one can be inlined into its loop.
template <class Parser>
bool LabelParser<Parser>::step(std::size_t max_lines) {
    for (std::size_t n = 0; n < max_lines && !lines_.done(); ++n)
        if (!static_cast<Parser*>(this)->parse_line(lines_.next())) return false;
    return !lines_.done();
}

template class LabelParser<KittiParser>;
template class LabelParser<MotsParser>;

}  // namespace vestrim::native::labels
