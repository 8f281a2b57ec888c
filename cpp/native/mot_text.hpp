// Parsing MOTChallenge text (`frame, id, x, y, w, h, conf, class, ...` per line) straight into
// column arrays, in one pass over the bytes. Plain C++: the caller owns the arrays and the text.
//
// The grammar, shared with the package's Python reference reader: lines end at '\n' (one '\r'
// before it is dropped); a line of only spaces and tabs is blank and skipped; values are separated
// by ',' with spaces and tabs around them; frames and ids are [+-]?[0-9]+ or an integral decimal
// (3.0, 3., -.0); other values are [+-]?(digits[.digits]|.digits)([eE][+-]?digits)?; everything
// else (inf, nan, 1_0, non-ASCII digits, inner blanks) is malformed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace vestrim::native::mot {

inline constexpr std::int64_t kMaxFrame = 10'000'000;
inline constexpr double kMaxCoordinate = 1e150;
inline constexpr int kMinValues = 6;

// Destination columns, each with room for `capacity` rows (at least one per line of the text).
struct Columns {
    std::int64_t* frames;
    std::int64_t* ids;
    double* boxes;    // 4 per row: x, y, x + w, y + h
    double* conf;     // NaN where the line has no 7th value or fewer than 7 columns are read
    double* classes;  // NaN likewise for the 8th
    std::int64_t* lines;
    std::size_t capacity;
};

enum class Fault {
    None,
    FewValues,      // count: the number of values on the line
    NotInteger,     // field, token
    IntegerRange,   // field, token
    NotNumber,      // field, token
    NotFinite,      // field, token
    FrameTooSmall,  // value
    FrameTooLarge,  // value
    Coordinates,
    Duplicate,      // value: the frame, id: the id
};

struct Failure {
    Fault fault = Fault::None;
    std::size_t line = 0;    // 1-based
    int field = 0;           // 0-based value index
    std::string_view token;  // the field as written, blanks around it removed
    std::int64_t value = 0;
    std::int64_t id = 0;
    std::size_t count = 0;
};

// One value of the grammar above, the blanks around it already removed: a frame or id (None,
// NotInteger or IntegerRange), or another value (None, NotNumber or NotFinite). The other
// whitespace-separated text formats share this grammar.
Fault parse_integer(std::string_view token, std::int64_t& out);
Fault parse_number(std::string_view token, double& out);

// The number of lines of `text` (an unterminated last line counts): an upper bound on the rows.
std::size_t count_lines(std::string_view text);

class Parser {
public:
    // `columns` (6, 7 or 8): how many leading values of a line are parsed; later ones are skipped.
    Parser(std::string_view text, int columns, const Columns& out);

    // Parses up to `max_lines` further lines. False once the text is finished or a line failed.
    bool step(std::size_t max_lines);

    std::size_t rows() const { return rows_; }
    std::int64_t last_frame() const { return last_frame_; }
    // The first fault of the file in line order, repeated (frame, id) pairs included when
    // `check_repeats`; call after the last step.
    Failure finish(bool check_repeats = true);

private:
    // Parses one line (without its line end) into the next row; false with `failure_` set.
    bool parse_line(const char* begin, const char* end);
    // The usual well-formed line in a single scan; false whenever parse_line must decide.
    bool parse_plain_line(const char* begin, const char* end);
    void store(std::int64_t frame, std::int64_t id, const double* values);

    const char* pos_;
    const char* end_;
    int columns_;
    Columns out_;
    std::size_t line_ = 0;
    std::size_t rows_ = 0;
    std::int64_t last_frame_ = 0;
    Failure failure_;
};

// The earliest row that repeats the (frame, id) of a row before it, if any.
std::optional<std::size_t> first_repeated_pair(const std::int64_t* frames, const std::int64_t* ids,
                                               std::size_t n);

}  // namespace vestrim::native::mot
