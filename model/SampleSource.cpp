#include "model/SampleSource.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "model/LoadError.h"
#include "model/SampleDays.h"

void SampleSource::stopIfCancelled() const {
    if (cancel && cancel->load(std::memory_order_relaxed)) throw LoadCancelled(path());
}

void SampleSource::forEachDatedChunk(const DatedVisit& visit) const {
    forEachChunk([&](const Datapoint* samples, std::size_t count, std::size_t first) {
        visit(samples, nullptr, count, first);
    });
}

void SampleSource::forEachDayChunk(const DayVisit& visit) const {
    forEachDatedChunk([&](const Datapoint*, const std::int32_t* days, std::size_t count, std::size_t first) {
        visit(days, count, first);
    });
}

SamplesInMemory::SamplesInMemory(std::vector<Datapoint> points) : owned_(std::move(points)) {}

SamplesInMemory::SamplesInMemory(std::vector<Datapoint> points, std::vector<std::int32_t> days)
    : owned_(std::move(points)), days_(std::move(days)), dated_(true) {
    if (days_.size() != owned_.size())
        throw std::invalid_argument(std::to_string(days_.size()) + " dates for " + std::to_string(owned_.size()) +
                                    " samples");
}

void SamplesInMemory::forEachDatedChunk(const DatedVisit& visit) const {
    const std::size_t n = points_->size();
    for (std::size_t first = 0; first < n; first += kChunkSamples) {
        stopIfCancelled();
        visit(points_->data() + first, dated_ ? days_.data() + first : nullptr, std::min(kChunkSamples, n - first),
              first);
    }
}

SamplesInMemory SamplesInMemory::view(const std::vector<Datapoint>& points) {
    SamplesInMemory source;
    source.points_ = &points;
    return source;
}

void SamplesInMemory::forEachChunk(const Visit& visit) const {
    const std::size_t n = points_->size();
    for (std::size_t first = 0; first < n; first += kChunkSamples) {
        stopIfCancelled();
        visit(points_->data() + first, std::min(kChunkSamples, n - first), first);
    }
}

TappedSource::TappedSource(const SampleSource& inner, Visit tap) : inner_(inner), tap_(std::move(tap)) {
    cancel = inner.cancel;
}

void TappedSource::forEachChunk(const Visit& visit) const {
    inner_.forEachChunk([&](const Datapoint* samples, std::size_t count, std::size_t first) {
        if (first <= tapped_ && tapped_ < first + count) {
            const std::size_t skip = tapped_ - first;
            tap_(samples + skip, count - skip, tapped_);
            tapped_ = first + count;
        }
        visit(samples, count, first);
    });
}

SampleFile::SampleFile(std::string path) : path_(std::move(path)) {
    // Opened without blocking: a FIFO without a writer must not hang the
    // load before it is refused.
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) throw DataFileError(path_, systemReason(errno));
    struct stat status {};
    if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
        const std::string reason = S_ISREG(status.st_mode) || status.st_mode == 0 ? systemReason(errno)
                                                                                  : notRegularFileReason(status.st_mode);
        ::close(fd_);
        throw DataFileError(path_, reason);
    }
    const std::int64_t records = status.st_size / static_cast<std::int64_t>(sizeof(Datapoint));
    if (records > std::numeric_limits<std::int32_t>::max()) {
        ::close(fd_);
        throw DataFileError(path_, "holds " + std::to_string(records) +
                                       " records, more than the 2147483647 a sample file may hold");
    }
    records_ = static_cast<std::size_t>(records);
    // The days column: absent is fine (a file without dates), anything
    // else that is not one date per record is refused.
    const std::string daysPath = daysFilePath(path_);
    daysFd_ = ::open(daysPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (daysFd_ < 0 && errno != ENOENT) {
        const std::string reason = systemReason(errno);
        ::close(fd_);
        throw DataFileError(daysPath, reason);
    }
    if (daysFd_ >= 0) {
        struct stat days {};
        std::string reason;
        if (::fstat(daysFd_, &days) != 0)
            reason = systemReason(errno);
        else if (!S_ISREG(days.st_mode))
            reason = notRegularFileReason(days.st_mode);
        else if (days.st_size != records * 4)
            reason = "holds " + std::to_string(days.st_size / 4) + (days.st_size % 4 ? " dates and a part of one" : " dates") +
                     " for the " + std::to_string(records) + " records of \"" + echoPath(path_) +
                     "\" (one 4-byte date per record)";
        if (!reason.empty()) {
            ::close(daysFd_);
            ::close(fd_);
            daysFd_ = -1;
            throw DataFileError(daysPath, reason);
        }
    }
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    // A file as large as a good part of the memory would, once read, leave
    // the system's cache holding it beside the index built from it, and
    // every later allocation would first have to push it out: its pages
    // are let go as soon as they are read.
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0)
        dropPages_ = status.st_size > static_cast<std::int64_t>(pages) * pageSize / 4;
}

SampleFile::~SampleFile() {
    if (fd_ >= 0) ::close(fd_);
    if (daysFd_ >= 0) ::close(daysFd_);
}

namespace {

// Reads exactly `wanted` bytes at `offset`, or throws naming `path`.
void readExactly(int fd, void* data, std::size_t wanted, off_t offset, const std::string& path) {
    auto* bytes = static_cast<char*>(data);
    std::size_t done = 0;
    while (done < wanted) {
        const ssize_t got = ::pread(fd, bytes + done, wanted - done, offset + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw DataFileError(path, systemReason(errno));
        if (got == 0) throw DataFileError(path, "became shorter while it was read");
        done += static_cast<std::size_t>(got);
    }
}

}  // namespace

void SampleFile::forEachChunk(const Visit& visit) const {
    readChunks([&](const Datapoint* samples, const std::int32_t*, std::size_t count, std::size_t first) {
        visit(samples, count, first);
    }, false);
}

void SampleFile::forEachDatedChunk(const DatedVisit& visit) const { readChunks(visit, daysFd_ >= 0); }

void SampleFile::forEachDayChunk(const DayVisit& visit) const {
    if (daysFd_ < 0) throw DataFileError(path_, "holds no dates");
    std::vector<std::int32_t> days(std::min(kChunkSamples, records_));
    for (std::size_t first = 0; first < records_; first += kChunkSamples) {
        stopIfCancelled();
        const std::size_t count = std::min(kChunkSamples, records_ - first);
        readExactly(daysFd_, days.data(), count * sizeof(std::int32_t), static_cast<off_t>(first * sizeof(std::int32_t)),
                    daysFilePath(path_));
        visit(days.data(), count, first);
    }
}

void SampleFile::readChunks(const DatedVisit& visit, bool withDays) const {
    std::vector<std::int32_t> days(withDays ? std::min(kChunkSamples, records_) : 0);
    if (withDays) ::posix_fadvise(daysFd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::vector<Datapoint> buffer(std::min(kChunkSamples, records_));
    for (std::size_t first = 0; first < records_; first += kChunkSamples) {
        stopIfCancelled();
        const std::size_t count = std::min(kChunkSamples, records_ - first);
        auto* bytes = reinterpret_cast<char*>(buffer.data());
        const std::size_t wanted = count * sizeof(Datapoint);
        std::size_t done = 0;
        while (done < wanted) {
            const ssize_t got = ::pread(fd_, bytes + done, wanted - done,
                                        static_cast<off_t>(first * sizeof(Datapoint) + done));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) throw DataFileError(path_, systemReason(errno));
            if (got == 0) throw DataFileError(path_, "became shorter while it was read");
            done += static_cast<std::size_t>(got);
        }
        if (dropPages_)
            ::posix_fadvise(fd_, static_cast<off_t>(first * sizeof(Datapoint)), static_cast<off_t>(wanted),
                            POSIX_FADV_DONTNEED);
        if (withDays)
            readExactly(daysFd_, days.data(), count * sizeof(std::int32_t),
                        static_cast<off_t>(first * sizeof(std::int32_t)), daysFilePath(path_));
        visit(buffer.data(), withDays ? days.data() : nullptr, count, first);
    }
}

std::vector<Datapoint> readAllSamples(const SampleSource& source) {
    std::vector<Datapoint> points(source.size());
    source.forEachChunk([&](const Datapoint* samples, std::size_t count, std::size_t first) {
        std::copy(samples, samples + count, points.begin() + static_cast<std::ptrdiff_t>(first));
    });
    return points;
}

void DayRangeSource::note(const std::int32_t* days, std::size_t count, std::size_t first) const {
    // Each pass counts afresh: a load may read its source more than once.
    if (first == 0) counts_ = DayCounts{};
    counts_.add(days, count);
    if (!days) return;
    for (std::size_t i = 0; i < count; ++i) span_.add(days[i]);
}

void DayRangeSource::forEachChunk(const Visit& visit) const {
    inner_.forEachDatedChunk([&](const Datapoint* samples, const std::int32_t* days, std::size_t count,
                                 std::size_t first) {
        note(days, count, first);
        visit(samples, count, first);
    });
}

void DayRangeSource::forEachDatedChunk(const DatedVisit& visit) const {
    inner_.forEachDatedChunk([&](const Datapoint* samples, const std::int32_t* days, std::size_t count,
                                 std::size_t first) {
        note(days, count, first);
        visit(samples, days, count, first);
    });
}

void DayRangeSource::forEachDayChunk(const DayVisit& visit) const {
    inner_.forEachDayChunk([&](const std::int32_t* days, std::size_t count, std::size_t first) {
        note(days, count, first);
        visit(days, count, first);
    });
}

DayFilteredSource::DayFilteredSource(const SampleSource& inner, const DayFilter& filter)
    : inner_(inner), weekdays_(filter.weekdays), from_(filter.first), to_(filter.last) {
    cancel = inner.cancel;
    // The dates alone: counting needs no records.
    inner_.forEachDayChunk([&](const std::int32_t* days, std::size_t count, std::size_t) {
        if (!days) throw DataFileError(inner_.path(), "holds no dates");
        for (std::size_t i = 0; i < count; ++i) {
            const std::int32_t day = days[i];
            span_.add(day);
            if (DayFilter{weekdays_, from_, to_}.passes(day)) ++passing_;
        }
    });
}

DayFilteredSource::DayFilteredSource(std::shared_ptr<const SampleSource> inner, const DayFilter& filter)
    : DayFilteredSource(*inner, filter) {
    owned_ = std::move(inner);
}

void DayFilteredSource::forEachChunk(const Visit& visit) const {
    forEachDatedChunk([&](const Datapoint* samples, const std::int32_t*, std::size_t count, std::size_t first) {
        visit(samples, count, first);
    });
}

void DayFilteredSource::forEachDatedChunk(const DatedVisit& visit) const {
    // One chunk out per chunk in, never larger: the passing samples of each.
    const DayFilter filter{weekdays_, from_, to_};
    std::vector<Datapoint> samples;
    std::vector<std::int32_t> dates;
    std::size_t handed = 0;
    inner_.forEachDatedChunk([&](const Datapoint* in, const std::int32_t* days, std::size_t count, std::size_t) {
        if (!days) throw DataFileError(inner_.path(), "holds no dates");
        samples.clear();
        dates.clear();
        for (std::size_t i = 0; i < count; ++i)
            if (filter.passes(days[i])) {
                samples.push_back(in[i]);
                dates.push_back(days[i]);
            }
        // A file that changed since it was counted must not hand more
        // samples than size() promised.
        if (handed + samples.size() > passing_) throw DataFileError(inner_.path(), "changed while it was read");
        if (!samples.empty()) visit(samples.data(), dates.data(), samples.size(), handed);
        handed += samples.size();
    });
}
