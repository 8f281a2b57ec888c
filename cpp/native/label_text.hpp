// Parsing the whitespace-separated label files of KITTI tracking and of segmentation tracking
// (KITTI-MOTS, MOTS20) straight into column arrays, in one pass over the bytes. Plain C++: the
// caller owns the arrays and the text.
//
// The line grammar, shared with the package's Python reference readers: lines end at '\n' (one
// '\r' before it is dropped; no byte-order mark is skipped); values are separated by runs of ASCII
// white space (space, \t, \v, \f, \r); a line of white space only is blank and skipped. Frames,
// ids, classes and sizes are integers and every other number a decimal, both in the grammar of the
// MOTChallenge reader (mot::parse_integer, mot::parse_number). Reading stops at the first faulty
// line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/mask.hpp"

namespace vestrim::native::labels {

inline constexpr int kKittiValues = 10;  // frame id type truncated occluded alpha x1 y1 x2 y2
inline constexpr int kMotsValues = 6;    // frame id class height width rle

// KITTI object types by code; "car_2" reads as car.
inline constexpr const char* kKittiTypes[] = {"car",     "van",  "truck", "pedestrian", "person",
                                              "cyclist", "tram", "misc",  "dontcare"};

enum class Fault {
    None,
    FewValues,     // count: the number of values on the line
    NotInteger,    // field, token
    IntegerRange,  // field, token
    NotNumber,     // field, token
    NotFinite,     // field, token
    UnknownType,   // token
    Coordinates,
    NegativeSize,  // height, width
    Mask,          // token: the counts string; message: why it is not a mask of its size
};

struct Failure {
    Fault fault = Fault::None;
    std::size_t line = 0;    // 1-based
    int field = 0;           // 0-based value index
    std::string_view token;  // the field as written
    std::size_t count = 0;
    std::int64_t height = 0;
    std::int64_t width = 0;
    std::string message;
};

// The lines of a text, one at a time, without their line ends.
class LineReader {
public:
    explicit LineReader(std::string_view text) : pos_(text.data()), end_(text.data() + text.size()) {}
    bool done() const { return pos_ >= end_; }
    std::size_t number() const { return number_; }
    // The next line; call only when !done().
    std::string_view next();

private:
    const char* pos_;
    const char* end_;
    std::size_t number_ = 0;
};

// Destination columns of a KITTI label file, each with room for one row per line of the text.
struct KittiColumns {
    std::int64_t* frames;
    std::int64_t* ids;
    std::int8_t* types;   // index into kKittiTypes
    double* truncated;    // truncated toward zero
    double* occluded;     // truncated toward zero
    double* boxes;        // 4 per row: x1, y1, x2, y2
    std::int64_t* lines;
};

// What the parsers of both formats share: the lines of the text, the rows written so far and the
// first failure. `Parser` has `bool parse_line(std::string_view)`, false once the line failed.
template <class Parser>
class LabelParser {
public:
    explicit LabelParser(std::string_view text) : lines_(text) {}

    // Parses up to `max_lines` further lines. False once the text is finished or a line failed.
    bool step(std::size_t max_lines);

    std::size_t rows() const { return rows_; }
    const Failure& failure() const { return failure_; }

protected:
    // Records `fault` at value `field` of the current line, whose values are `fields`; false.
    bool fail(const std::string_view* fields, Fault fault, int field = 0) {
        failure_.fault = fault;
        failure_.line = lines_.number();
        failure_.field = field;
        failure_.token = fields[field];
        return false;
    }

    LineReader lines_;
    std::size_t rows_ = 0;
    Failure failure_;
};

class KittiParser : public LabelParser<KittiParser> {
public:
    KittiParser(std::string_view text, const KittiColumns& out) : LabelParser(text), out_(out) {}

private:
    friend class LabelParser<KittiParser>;
    bool parse_line(std::string_view line);

    KittiColumns out_;
};

// Destination columns of a mask file. The masks are decoded from their counts strings as they
// are read; `masks` receives one per row.
struct MotsColumns {
    std::int64_t* frames;
    std::int64_t* ids;
    std::int64_t* classes;
    std::int64_t* sizes;  // 2 per row: height, width
    std::int64_t* areas;
    std::int64_t* lines;
    std::vector<mask::Rle>* masks;
};

class MotsParser : public LabelParser<MotsParser> {
public:
    MotsParser(std::string_view text, const MotsColumns& out) : LabelParser(text), out_(out) {}

private:
    friend class LabelParser<MotsParser>;
    bool parse_line(std::string_view line);

    MotsColumns out_;
};

}  // namespace vestrim::native::labels
