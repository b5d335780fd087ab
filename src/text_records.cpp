// Intel HEX and Motorola S-record files: their lines, and their records read twice, once to
// learn where the bytes land and once to put them there.
#include "text_records.hpp"

#include "input_file.hpp"
#include "intel_hex.hpp"
#include "srecord.hpp"

#include <cerrno>
#include <cstring>
#include <exception>

namespace fwsplice {
namespace {

constexpr std::array<unsigned char, 3> byte_order_mark{0xEF, 0xBB, 0xBF};
/// Longer than any record with room for blanks after it.
constexpr std::size_t longest_line = 1024;

/// A text's lines, without their ends (LF, CRLF or CR alone), blanks at their ends, and a
/// byte-order mark before the first; blank lines are passed over. Read from a file a block at
/// a time, or from bytes already read.
class line_reader {
public:
    explicit line_reader(std::FILE* file) noexcept : file_(file) {}
    line_reader(const unsigned char* bytes, std::size_t count) noexcept : text_(bytes), held_(count)
    {
        skip_mark();
    }

    /// The next line that is not blank; false at the end of the text, where a line is longer
    /// than any record, or where the file cannot be read (failed() tells these apart).
    bool next(const unsigned char*& line, std::size_t& length) noexcept
    {
        for (;;) {
            length = 0;
            ended_ = false;
            bool any = false;
            int c = 0;
            while ((c = get()) >= 0) {
                any = true;
                if (c == '\n' || c == '\r') {
                    if (c == '\r' && peek() == '\n') {
                        get();
                    }
                    ended_ = true;
                    break;
                }
                if (length == line_.size()) {
                    problem_ = "a line longer than any record";
                    ++number_;
                    return false;
                }
                line_[length++] = static_cast<unsigned char>(c);
            }
            if (!any || c == failed_read) {
                return false;
            }
            ++number_;
            while (length > 0 && (line_[length - 1] == ' ' || line_[length - 1] == '\t')) {
                --length;
            }
            if (length > 0) {
                line = line_.data();
                return true;
            }
        }
    }
    [[nodiscard]] std::uint64_t number() const noexcept { return number_; }
    /// Whether the last line read ended with a line end, not with the text.
    [[nodiscard]] bool line_ended() const noexcept { return ended_; }
    /// Why reading stopped before the end of the text, or nullptr.
    [[nodiscard]] const char* failed() const noexcept { return problem_; }

private:
    static constexpr int end_of_text = -1;
    static constexpr int failed_read = -2;

    int get() noexcept
    {
        const int c = peek();
        at_ += c >= 0 ? 1 : 0;
        return c;
    }
    int peek() noexcept
    {
        if (at_ < held_) {
            return text_[at_];
        }
        if (!refill()) {
            return problem_ != nullptr ? failed_read : end_of_text;
        }
        return text_[at_];
    }
    bool refill() noexcept
    {
        if (file_ == nullptr) {
            return false;
        }
        held_ = std::fread(block_.data(), 1, block_.size(), file_);
        text_ = block_.data();
        at_ = 0;
        if (std::ferror(file_) != 0) {
            problem_ = std::strerror(errno);
        }
        // The first block holds far more than the mark.
        if (!started_) {
            skip_mark();
        }
        return at_ < held_;
    }
    void skip_mark() noexcept
    {
        started_ = true;
        if (held_ >= byte_order_mark.size() &&
            std::memcmp(text_, byte_order_mark.data(), byte_order_mark.size()) == 0) {
            at_ = byte_order_mark.size();
        }
    }

    std::FILE* file_ = nullptr;
    const unsigned char* text_ = nullptr;
    std::size_t held_ = 0;
    std::size_t at_ = 0;
    bool started_ = false;
    bool ended_ = false;
    const char* problem_ = nullptr;
    std::uint64_t number_ = 0;
    std::array<unsigned char, longest_line> line_{};
    std::array<unsigned char, 1 << 16> block_{};
};

/// Adds a record's data to the pieces, joined to the last one where they meet.
void add_piece(std::vector<loaded_piece>& pieces, std::uint64_t address, std::uint64_t size)
{
    if (!pieces.empty() && pieces.back().address + pieces.back().size == address) {
        pieces.back().size += size;
    } else {
        pieces.push_back({address, size});
    }
}

const char* broken_record(input_format format) noexcept
{
    return format == input_format::intel_hex ? "not an Intel HEX record" : "not an S-record";
}

/// Reads every record of a file, giving each data record to `use`, until its end record; a
/// record after that is refused, since it is most often a second file joined to the first,
/// which objcopy would drop without a word. Other text after the end is passed over.
template <typename Records, typename Use>
read_problem records_of(line_reader& lines, input_format format, std::uint64_t& entry, Use use)
{
    Records records;
    text_record record;
    const unsigned char* line = nullptr;
    std::size_t length = 0;
    std::uint64_t end_line = 0;
    while (lines.next(line, length)) {
        const bool read = records.read(line, length, record);
        if (end_line != 0) {
            if (read) {
                return {"a record after the end of the records", lines.number()};
            }
            continue;
        }
        if (!read) {
            return {broken_record(format), lines.number()};
        }
        if (record.what == text_record::kind::data && record.size > 0) {
            if (const read_problem problem = use(record); problem.reason != nullptr) {
                return {problem.reason, lines.number(), problem.at_address, problem.address};
            }
        } else if (record.what == text_record::kind::start ||
                   (record.what == text_record::kind::end && record.address != 0)) {
            entry = record.address;
        }
        if (record.what == text_record::kind::end) {
            end_line = lines.number();
        }
    }
    if (const char* const problem = lines.failed()) {
        return {problem, lines.number()};
    }
    return {};
}

template <typename Use>
read_problem each_record(line_reader& lines, input_format format, std::uint64_t& entry, Use use)
{
    return format == input_format::intel_hex ? records_of<hex_records>(lines, format, entry, use)
                                             : records_of<s_records>(lines, format, entry, use);
}

}  // namespace

input_format record_format(const unsigned char* head, std::size_t count, bool whole) noexcept
{
    line_reader lines(head, count);
    const unsigned char* line = nullptr;
    std::size_t length = 0;
    text_record record;
    // A first line cut by the end of the head, where the file goes on, is no record.
    if (!lines.next(line, length) || (!lines.line_ended() && !whole)) {
        return input_format::raw;
    }
    if (hex_records{}.read(line, length, record)) {
        return input_format::intel_hex;
    }
    if (s_records{}.read(line, length, record)) {
        return input_format::srecord;
    }
    return input_format::raw;
}

loaded_bytes scan_records(std::FILE* file, input_format format) noexcept
{
    loaded_bytes loaded;
    try {
        line_reader lines(file);
        const read_problem problem =
            each_record(lines, format, loaded.entry, [&loaded](const text_record& record) {
                add_piece(loaded.pieces, record.address, record.size);
                return read_problem{};
            });
        if (problem.reason != nullptr) {
            loaded.result = loaded_bytes::kind::broken;
            loaded.problem = problem;
            return loaded;
        }
    } catch (const std::exception&) {  // no memory for the pieces
        return broken_file(std::strerror(ENOMEM));
    }
    if (loaded.pieces.empty()) {
        return broken_file("it holds no data");
    }
    loaded.result = loaded_bytes::kind::loads;
    return loaded;
}

read_problem place_records(std::FILE* file, input_format format, image_filler& filler) noexcept
{
    if (!seek_input(file, 0)) {
        return {std::strerror(errno)};
    }
    try {
        line_reader lines(file);
        std::uint64_t entry = 0;
        return each_record(lines, format, entry, [&filler](const text_record& record) {
            read_problem problem;
            filler.put(record.address, record.data, record.size, problem);
            return problem;
        });
    } catch (const std::exception&) {
        return {std::strerror(ENOMEM)};
    }
}

}  // namespace fwsplice
