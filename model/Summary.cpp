#include "model/Summary.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

#include "model/OutputFile.h"

static_assert(std::endian::native == std::endian::little, "the summary file is written as the host lays it out");

namespace {

constexpr char kMagic[8] = {'T', 'R', 'K', 'S', 'U', 'M', '\r', '\n'};
constexpr std::uint32_t kVersion = 1;
// A clock name longer than this is no clock (a time zone name is some 30 bytes).
constexpr std::uint32_t kMaxClock = 256;

// FNV-1a, 64 bits: catches the flipped and cut bytes a checksum is for
// without a library below the model.
std::uint64_t checksumOf(const unsigned char* data, std::size_t size) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001b3ull;
    return hash;
}

class Writer {
public:
    template <typename T>
    void put(T value) {
        char bytes[sizeof(T)];
        std::memcpy(bytes, &value, sizeof(T));
        out.append(bytes, sizeof(T));
    }
    // LEB128: seven bits a byte, low first; cells close together and small
    // counts take a byte or two.
    void varint(std::uint64_t value) {
        while (value >= 0x80) {
            out.push_back(static_cast<char>((value & 0x7f) | 0x80));
            value >>= 7;
        }
        out.push_back(static_cast<char>(value));
    }
    std::string out;
};

class Reader {
public:
    Reader(const std::string& path, const unsigned char* data, std::size_t end) : path_(path), data_(data), end_(end) {}
    template <typename T>
    T get() {
        need(sizeof(T));
        T value;
        std::memcpy(&value, data_ + at_, sizeof(T));
        at_ += sizeof(T);
        return value;
    }
    std::uint64_t varint() {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            need(1);
            const unsigned char byte = data_[at_++];
            if (shift == 63 && byte > 1) fail("corrupt: a number does not fit 64 bits");
            value |= std::uint64_t{byte & 0x7fu} << shift;
            if (!(byte & 0x80)) return value;
        }
        fail("corrupt: a number does not fit 64 bits");
    }
    std::string text(std::size_t n) {
        need(n);
        std::string value(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        return value;
    }
    void need(std::size_t n) const {
        if (n > end_ - at_) fail("corrupt: the file ends inside its " + std::string(part));
    }
    [[noreturn]] void fail(const std::string& reason) const { throw SummaryError(path_, reason); }
    std::size_t at() const { return at_; }
    const char* part = "header";

private:
    const std::string& path_;
    const unsigned char* data_;
    std::size_t end_;
    std::size_t at_ = 0;
};

std::string readWhole(const std::string& path) {
    refuseIrregularFile(path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw SummaryError(path, systemReason(errno));
    std::string bytes;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            throw SummaryError(path, systemReason(error));
        }
        if (got == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return bytes;
}

bool addInto(std::uint64_t& into, std::uint64_t value) { return !__builtin_add_overflow(into, value, &into); }

}  // namespace

bool isSummaryStep(std::int32_t seconds) {
    return std::find(std::begin(kSummarySteps), std::end(kSummarySteps), seconds) != std::end(kSummarySteps);
}

std::optional<std::int32_t> parseSummaryStep(std::string_view text) {
    std::size_t digits = 0;
    std::int64_t value = 0;
    while (digits < text.size() && digits < 6 && text[digits] >= '0' && text[digits] <= '9')
        value = value * 10 + (text[digits++] - '0');
    if (digits == 0) return std::nullopt;
    const std::string_view unit = text.substr(digits);
    std::int64_t scale = 0;
    if (unit.empty() || unit == "s")
        scale = 1;
    else if (unit == "m" || unit == "min")
        scale = 60;
    else if (unit == "h")
        scale = 3600;
    if (scale == 0 || digits < text.size() - unit.size()) return std::nullopt;
    const std::int64_t seconds = value * scale;
    if (seconds > 86400 || !isSummaryStep(static_cast<std::int32_t>(seconds))) return std::nullopt;
    return static_cast<std::int32_t>(seconds);
}

void Summary::appendBlock(std::uint32_t id, const std::uint32_t* blockCells, const std::uint64_t* blockCounts,
                          std::size_t n) {
    if (n == 0) return;
    blockIds.push_back(id);
    cells.insert(cells.end(), blockCells, blockCells + n);
    counts.insert(counts.end(), blockCounts, blockCounts + n);
    blockStart.push_back(cells.size());
}

bool looksLikeSummary(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat info {};
    char head[sizeof kMagic] = {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    const bool match = regular && ::read(fd, head, sizeof head) == static_cast<ssize_t>(sizeof head) &&
                       std::memcmp(head, kMagic, sizeof kMagic) == 0;
    ::close(fd);
    return match;
}

std::string encodeSummary(const Summary& s) {
    Writer w;
    w.out.append(kMagic, sizeof kMagic);
    w.put<std::uint32_t>(kVersion);
    const std::size_t fileBytesAt = w.out.size();
    w.put<std::uint64_t>(0);  // the file's length, known at the end
    Writer h;
    h.put<double>(s.frame.south);
    h.put<double>(s.frame.west);
    h.put<double>(s.frame.north);
    h.put<double>(s.frame.east);
    h.put<std::int32_t>(s.stepSeconds);
    h.put<std::int32_t>(s.stepsPerDay());
    h.put<std::int32_t>(Summary::kGridSide);
    h.put<std::int32_t>(Summary::kCountPad);
    h.put<std::int32_t>(kDayClasses);
    h.put<std::int32_t>(kSummaryGroups);
    h.put<std::uint32_t>(s.dated ? 1u : 0u);
    h.put<std::uint32_t>(static_cast<std::uint32_t>(s.clock.size()));
    h.out += s.clock;
    h.put<std::uint64_t>(s.totals.samples);
    h.put<std::uint64_t>(s.totals.counted);
    h.put<std::uint64_t>(s.totals.far);
    h.put<std::uint64_t>(s.totals.dropped);
    h.put<std::uint64_t>(s.totals.outsideDay);
    h.put<std::uint64_t>(s.blockIds.size());
    h.put<std::uint64_t>(s.cells.size());
    h.put<std::uint32_t>(static_cast<std::uint32_t>(s.days.size()));
    for (std::int32_t day : s.days) h.put<std::int32_t>(day);
    w.put<std::uint32_t>(static_cast<std::uint32_t>(h.out.size()));
    w.out += h.out;
    for (std::size_t b = 0; b < s.blockIds.size(); ++b) {
        const std::uint64_t first = s.blockStart[b];
        const std::uint64_t last = s.blockStart[b + 1];
        w.put<std::uint32_t>(s.blockIds[b]);
        w.put<std::uint32_t>(static_cast<std::uint32_t>(last - first));
        std::uint32_t next = 0;  // the lowest cell the next entry can have
        for (std::uint64_t e = first; e < last; ++e) {
            w.varint(s.cells[e] - next);
            w.varint(s.counts[e]);
            next = s.cells[e] + 1;
        }
    }
    const std::uint64_t fileBytes = w.out.size() + 8;
    std::memcpy(w.out.data() + fileBytesAt, &fileBytes, 8);
    w.put<std::uint64_t>(checksumOf(reinterpret_cast<const unsigned char*>(w.out.data()), w.out.size()));
    return std::move(w.out);
}

void writeSummary(const Summary& summary, const std::string& path) {
    const std::string bytes = encodeSummary(summary);
    OutputFile out(path);
    out.write(bytes.data(), bytes.size());
    out.commit();
}

Summary readSummary(const std::string& path) { return decodeSummary(readWhole(path), path); }

Summary decodeSummary(const std::string& bytes, const std::string& path) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    if (bytes.size() < sizeof kMagic || std::memcmp(data, kMagic, sizeof kMagic) != 0)
        throw SummaryError(path, "not a summary file (no summary header)");
    constexpr std::size_t lead = sizeof kMagic + 4 + 8 + 4;  // magic, version, length, header length
    if (bytes.size() < sizeof kMagic + 4) throw SummaryError(path, "truncated (the file ends inside its header)");
    // The blocks end where the checksum starts.
    Reader r(path, data, bytes.size() - (bytes.size() >= lead + 8 ? 8 : 0));
    r.text(sizeof kMagic);
    const auto version = r.get<std::uint32_t>();
    if (version != kVersion)
        throw SummaryError(path, "summary version " + std::to_string(version) + ", this program reads version " +
                                     std::to_string(kVersion));
    if (bytes.size() < lead + 8) throw SummaryError(path, "truncated (the file ends inside its header)");
    // The length the file was written with tells a cut file from a damaged
    // one; the checksum then vouches for every byte, so what follows can
    // only fail for a file written wrong.
    const auto fileBytes = r.get<std::uint64_t>();
    if (bytes.size() < fileBytes)
        r.fail("truncated (" + std::to_string(bytes.size()) + " of its " + std::to_string(fileBytes) + " bytes)");
    if (bytes.size() > fileBytes)
        r.fail("corrupt: " + std::to_string(bytes.size() - fileBytes) + " bytes past its end");
    std::uint64_t stored;
    std::memcpy(&stored, data + bytes.size() - 8, 8);
    if (stored != checksumOf(data, bytes.size() - 8)) r.fail("corrupt: the checksum does not match");
    const auto headerBytes = r.get<std::uint32_t>();
    r.need(headerBytes);
    const std::size_t headerEnd = r.at() + headerBytes;
    Summary s;
    s.frame.south = r.get<double>();
    s.frame.west = r.get<double>();
    s.frame.north = r.get<double>();
    s.frame.east = r.get<double>();
    s.stepSeconds = r.get<std::int32_t>();
    const auto steps = r.get<std::int32_t>();
    const auto side = r.get<std::int32_t>();
    const auto pad = r.get<std::int32_t>();
    const auto classes = r.get<std::int32_t>();
    const auto groups = r.get<std::int32_t>();
    const auto dated = r.get<std::uint32_t>();
    const auto clockBytes = r.get<std::uint32_t>();
    if (clockBytes > kMaxClock) r.fail("corrupt: a clock name of " + std::to_string(clockBytes) + " bytes");
    s.clock = r.text(clockBytes);
    s.totals.samples = r.get<std::uint64_t>();
    s.totals.counted = r.get<std::uint64_t>();
    s.totals.far = r.get<std::uint64_t>();
    s.totals.dropped = r.get<std::uint64_t>();
    s.totals.outsideDay = r.get<std::uint64_t>();
    const auto blocks = r.get<std::uint64_t>();
    const auto entries = r.get<std::uint64_t>();
    const auto dayCount = r.get<std::uint32_t>();
    r.need(std::size_t{dayCount} * 4);
    s.days.resize(dayCount);
    for (auto& day : s.days) day = r.get<std::int32_t>();
    if (r.at() > headerEnd) r.fail("corrupt: the header is longer than it says");
    r.text(headerEnd - r.at());  // fields a later version adds after these
    // Each block takes at least 8 bytes, each entry 2: a count beyond what
    // the file can hold is damage, not a reason to reserve memory.
    const std::size_t room = bytes.size() - r.at();
    r.part = "counts";
    if (blocks > room / 8 || entries > room / 2) r.need(room + 1);
    s.blockIds.reserve(blocks);
    s.blockStart.reserve(blocks + 1);
    s.cells.reserve(entries);
    s.counts.reserve(entries);
    for (std::uint64_t b = 0; b < blocks; ++b) {
        s.blockIds.push_back(r.get<std::uint32_t>());
        const auto n = r.get<std::uint32_t>();
        if (n > entries - s.cells.size()) r.fail("corrupt: more entries than the header says");
        std::uint64_t next = 0;
        for (std::uint32_t e = 0; e < n; ++e) {
            const std::uint64_t cell = next + r.varint();
            s.cells.push_back(static_cast<std::uint32_t>(std::min<std::uint64_t>(cell, Summary::kCountCells)));
            s.counts.push_back(r.varint());
            next = cell + 1;
        }
        s.blockStart.push_back(s.cells.size());
    }
    if (r.at() != bytes.size() - 8)
        r.fail("corrupt: " + std::to_string(bytes.size() - 8 - r.at()) + " bytes after the last block");

    // Sound bytes that still say something this program cannot use.
    if (side != Summary::kGridSide || pad != Summary::kCountPad || classes != kDayClasses || groups != kSummaryGroups)
        r.fail("made for a " + std::to_string(side) + "-cell grid with " + std::to_string(classes) + " day classes and " +
               std::to_string(groups) + " mode groups; this program uses " + std::to_string(Summary::kGridSide) + ", " +
               std::to_string(kDayClasses) + " and " + std::to_string(kSummaryGroups));
    if (!isSummaryStep(s.stepSeconds) || steps != s.stepsPerDay())
        r.fail("a step of " + std::to_string(s.stepSeconds) + " s is not one a summary has");
    if (const std::string problem = frameProblem(s.frame); !problem.empty()) r.fail("its frame: " + problem);
    if (entries != s.cells.size()) r.fail("corrupt: fewer entries than the header says");
    s.dated = dated != 0;
    const std::uint32_t blockLimit = static_cast<std::uint32_t>(kDayClasses * kSummaryGroups * s.stepsPerDay());
    std::uint64_t sum = 0;
    for (std::size_t b = 0; b < s.blockIds.size(); ++b) {
        if (s.blockIds[b] >= blockLimit || (b > 0 && s.blockIds[b] <= s.blockIds[b - 1]))
            r.fail("corrupt: its blocks are out of order");
        for (std::uint64_t e = s.blockStart[b]; e < s.blockStart[b + 1]; ++e) {
            if (s.cells[e] >= Summary::kCountCells) r.fail("corrupt: a cell beyond the count grid");
            if (s.counts[e] == 0 || !addInto(sum, s.counts[e])) r.fail("corrupt: a count of 0 or past 64 bits");
        }
    }
    if (sum != s.totals.counted) r.fail("corrupt: its counts do not add up to its total");
    if (s.dated != !s.days.empty()) r.fail("corrupt: it says it has dates but lists none, or the other way round");
    for (std::size_t d = 1; d < s.days.size(); ++d)
        if (s.days[d] <= s.days[d - 1]) r.fail("corrupt: its days are out of order");
    return s;
}

void mergeSummary(Summary& into, const Summary& other, const std::string& otherPath) {
    if (!(other.frame == into.frame))
        throw SummaryError(otherPath, "its frame " + frameText(other.frame) + " is not " + frameText(into.frame));
    if (other.stepSeconds != into.stepSeconds)
        throw SummaryError(otherPath, "its step of " + std::to_string(other.stepSeconds) + " s is not " +
                                          std::to_string(into.stepSeconds) + " s");
    if (other.clock != into.clock)
        throw SummaryError(otherPath, "its times are in " + echoText(other.clock) + ", not " + echoText(into.clock));
    const auto overflow = [&] { return SummaryError(otherPath, "a count would pass 2^64 - 1 in the sum"); };

    SummaryTotals totals = into.totals;
    if (!addInto(totals.samples, other.totals.samples) || !addInto(totals.counted, other.totals.counted) ||
        !addInto(totals.far, other.totals.far) || !addInto(totals.dropped, other.totals.dropped) ||
        !addInto(totals.outsideDay, other.totals.outsideDay))
        throw overflow();

    Summary sum;
    sum.frame = into.frame;
    sum.stepSeconds = into.stepSeconds;
    sum.clock = into.clock;
    sum.dated = into.dated || other.dated;
    sum.totals = totals;
    std::set_union(into.days.begin(), into.days.end(), other.days.begin(), other.days.end(),
                   std::back_inserter(sum.days));
    sum.cells.reserve(std::max(into.cells.size(), other.cells.size()));
    sum.counts.reserve(sum.cells.capacity());
    std::size_t a = 0;
    std::size_t b = 0;
    const auto copyBlock = [&](const Summary& from, std::size_t k) {
        sum.appendBlock(from.blockIds[k], from.cells.data() + from.blockStart[k],
                        from.counts.data() + from.blockStart[k], from.blockStart[k + 1] - from.blockStart[k]);
    };
    while (a < into.blockIds.size() || b < other.blockIds.size()) {
        if (b == other.blockIds.size() || (a < into.blockIds.size() && into.blockIds[a] < other.blockIds[b])) {
            copyBlock(into, a++);
        } else if (a == into.blockIds.size() || other.blockIds[b] < into.blockIds[a]) {
            copyBlock(other, b++);
        } else {
            // The same block in both: the cells merged, shared ones added.
            std::size_t i = into.blockStart[a], iEnd = into.blockStart[a + 1];
            std::size_t j = other.blockStart[b], jEnd = other.blockStart[b + 1];
            while (i < iEnd || j < jEnd) {
                if (j == jEnd || (i < iEnd && into.cells[i] < other.cells[j])) {
                    sum.cells.push_back(into.cells[i]);
                    sum.counts.push_back(into.counts[i++]);
                } else if (i == iEnd || other.cells[j] < into.cells[i]) {
                    sum.cells.push_back(other.cells[j]);
                    sum.counts.push_back(other.counts[j++]);
                } else {
                    std::uint64_t count = into.counts[i++];
                    if (!addInto(count, other.counts[j++])) throw overflow();
                    sum.cells.push_back(other.cells[j - 1]);
                    sum.counts.push_back(count);
                }
            }
            sum.blockIds.push_back(into.blockIds[a]);
            sum.blockStart.push_back(sum.cells.size());
            ++a;
            ++b;
        }
    }
    into = std::move(sum);
}

std::string summaryInfo(const Summary& s) {
    std::string out;
    const auto line = [&](const std::string& name, const std::string& value) { out += name + ": " + value + "\n"; };
    line("format", "trackora summary, version " + std::to_string(kVersion));
    line("frame", frameText(s.frame));
    line("step", std::to_string(s.stepSeconds) + " s (" + std::to_string(s.stepsPerDay()) + " steps a day)");
    line("clock", echoText(s.clock));
    line("dates", s.days.empty() ? std::string("none kept")
                                 : dateSpanText(s.days.front(), s.days.back()) + " (" +
                                       std::to_string(s.days.size()) + " days)");
    line("samples", std::to_string(s.totals.samples));
    line("counted", std::to_string(s.totals.counted));
    line("far", std::to_string(s.totals.far));
    line("dropped", std::to_string(s.totals.dropped));
    line("outside the day", std::to_string(s.totals.outsideDay));
    line("occupied keys", std::to_string(s.cells.size()) + " in " + std::to_string(s.blockIds.size()) + " blocks");
    return out;
}
