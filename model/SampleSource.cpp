#include "model/SampleSource.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "model/LoadError.h"

void SampleSource::stopIfCancelled() const {
    if (cancel && cancel->load(std::memory_order_relaxed)) throw LoadCancelled(path());
}

SamplesInMemory::SamplesInMemory(std::vector<Datapoint> points) : owned_(std::move(points)) {}

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
}

void SampleFile::forEachChunk(const Visit& visit) const {
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
        visit(buffer.data(), count, first);
    }
}

std::vector<Datapoint> readAllSamples(const SampleSource& source) {
    std::vector<Datapoint> points(source.size());
    source.forEachChunk([&](const Datapoint* samples, std::size_t count, std::size_t first) {
        std::copy(samples, samples + count, points.begin() + static_cast<std::ptrdiff_t>(first));
    });
    return points;
}
