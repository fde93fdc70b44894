#pragma once
// Samples handed over a chunk at a time, as often as asked: the engines index
// from a source, so a binary sample file of a billion records is read in
// bounded pieces and never held whole. A source in memory serves samples
// that were parsed (recordings, text and track files) the same way.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "model/Datapoint.h"
#include "model/SampleDays.h"

class SampleSource {
public:
    // The most samples one chunk holds (16 MiB of records).
    static constexpr std::size_t kChunkSamples = std::size_t{1} << 20;

    virtual ~SampleSource() = default;

    virtual std::size_t size() const = 0;
    // The file the samples come from, for messages; empty for samples in memory.
    virtual const std::string& path() const = 0;

    // Calls visit(samples, count, first) for consecutive chunks of at most
    // kChunkSamples samples in file order, `first` being the index of the
    // chunk's first sample, until every sample was seen. Throws LoadCancelled
    // between chunks once `cancel` is set, and DataFileError when the file
    // cannot be read or became shorter than it was when opened.
    using Visit = std::function<void(const Datapoint* samples, std::size_t count, std::size_t first)>;
    virtual void forEachChunk(const Visit& visit) const = 0;

    // True when each sample's date is known to the source (a days column;
    // a sample of unknown date holds kUnknownDay there).
    virtual bool hasDays() const { return false; }
    // forEachChunk with the chunk's dates beside its samples (`days` null
    // when the source has none).
    using DatedVisit = std::function<void(const Datapoint* samples, const std::int32_t* days, std::size_t count,
                                          std::size_t first)>;
    virtual void forEachDatedChunk(const DatedVisit& visit) const;
    // The dates alone, chunk by chunk as forEachDatedChunk gives them (never
    // called on a source without dates): a file reads its days column only.
    using DayVisit = std::function<void(const std::int32_t* days, std::size_t count, std::size_t first)>;
    virtual void forEachDayChunk(const DayVisit& visit) const;

    // Throws LoadCancelled once `cancel` is set: long work on a source's
    // samples calls it now and then, so a cancelled load stops soon.
    void stopIfCancelled() const;

    // Set by another thread when the samples are no longer wanted.
    const std::atomic<bool>* cancel = nullptr;
};

// Samples already in memory, owned by the source or (a view) by the caller,
// who keeps them alive as long as the source.
class SamplesInMemory final : public SampleSource {
public:
    explicit SamplesInMemory(std::vector<Datapoint> points);
    // With one date per sample; throws std::invalid_argument when the
    // lengths differ.
    SamplesInMemory(std::vector<Datapoint> points, std::vector<std::int32_t> days);
    static SamplesInMemory view(const std::vector<Datapoint>& points);

    std::size_t size() const override { return points_->size(); }
    const std::string& path() const override { return path_; }
    void forEachChunk(const Visit& visit) const override;
    bool hasDays() const override { return dated_; }
    void forEachDatedChunk(const DatedVisit& visit) const override;
    const std::vector<Datapoint>& points() const { return *points_; }

private:
    SamplesInMemory() = default;
    std::vector<Datapoint> owned_;
    std::vector<std::int32_t> days_;
    bool dated_ = false;
    const std::vector<Datapoint>* points_ = &owned_;
    std::string path_;
};

// Another source's samples, each also handed to `tap` the first time a
// pass reads it, in order and once, whatever passes the reader makes (one
// that stops early and one that reads again): a single read of a file feeds
// two consumers, the GPU upload and the CPU index. The tap sees every
// sample once some pass has read them all (tapped() == size()). The
// other source must outlive this one; its cancel flag is this one's.
class TappedSource final : public SampleSource {
public:
    TappedSource(const SampleSource& inner, Visit tap);
    std::size_t size() const override { return inner_.size(); }
    const std::string& path() const override { return inner_.path(); }
    void forEachChunk(const Visit& visit) const override;
    std::size_t tapped() const { return tapped_; }

private:
    const SampleSource& inner_;
    Visit tap_;
    mutable std::size_t tapped_ = 0;
};

// A binary sample file (headerless 16-byte records), read a chunk at a time
// into one buffer each pass. The file's pages stay in the system's cache, not
// in this process, unless the file is larger than a quarter of the memory:
// then they are let go as they are read. A trailing partial record is not a sample. Opening throws
// DataFileError when the file cannot be opened, is not a regular file (a
// FIFO or device would block or never end) or holds more records than a
// 32-bit count. The file's days column (PATH.days), when there is one, is
// opened with it: opening throws DataFileError naming the column when it
// cannot be read or does not hold exactly one date per record.
class SampleFile final : public SampleSource {
public:
    explicit SampleFile(std::string path);
    ~SampleFile() override;
    SampleFile(const SampleFile&) = delete;
    SampleFile& operator=(const SampleFile&) = delete;

    std::size_t size() const override { return records_; }
    const std::string& path() const override { return path_; }
    void forEachChunk(const Visit& visit) const override;
    bool hasDays() const override { return daysFd_ >= 0; }
    void forEachDatedChunk(const DatedVisit& visit) const override;
    void forEachDayChunk(const DayVisit& visit) const override;

private:
    void readChunks(const DatedVisit& visit, bool withDays) const;

    std::string path_;
    int fd_ = -1;
    int daysFd_ = -1;
    std::size_t records_ = 0;
    bool dropPages_ = false;
};

// Every sample of a source, in memory.
std::vector<Datapoint> readAllSamples(const SampleSource& source);

// Another source's samples as they are, its dates' first and last noted as
// a pass reads them (the days column read beside the records): a load
// learns the span of its dates in the pass that indexes it. It owns the
// other source (an engine may keep it and read again); the other source's
// cancel flag is this one's.
class DayRangeSource final : public SampleSource {
public:
    explicit DayRangeSource(std::shared_ptr<const SampleSource> inner) : owned_(std::move(inner)), inner_(*owned_) {
        cancel = inner_.cancel;
    }
    std::size_t size() const override { return inner_.size(); }
    const std::string& path() const override { return inner_.path(); }
    void forEachChunk(const Visit& visit) const override;
    bool hasDays() const override { return inner_.hasDays(); }
    void forEachDatedChunk(const DatedVisit& visit) const override;
    void forEachDayChunk(const DayVisit& visit) const override;
    // After a whole pass: false when no sample had a known date.
    bool dated() const { return span_.dated; }
    std::int32_t firstDay() const { return span_.first; }
    std::int32_t lastDay() const { return span_.last; }
    // The samples of each day, of the last whole pass.
    const DayCounts& dayCounts() const { return counts_; }

private:
    void note(const std::int32_t* days, std::size_t count, std::size_t first) const;
    std::shared_ptr<const SampleSource> owned_;
    const SampleSource& inner_;
    mutable DaySpan span_;
    mutable DayCounts counts_;
};

// The samples of another source whose date passes a filter, in order (a
// sample of unknown date never does): the engines index a selection of days
// as they index a file. Opening reads the other source once, to count what
// passes and to find the first and last date its samples hold. The other
// source must outlive this one and have dates; its cancel flag is this one's.
struct DayFilter;
class DayFilteredSource final : public SampleSource {
public:
    DayFilteredSource(const SampleSource& inner, const DayFilter& filter);
    // The same, owning the other source (an engine may keep this one).
    DayFilteredSource(std::shared_ptr<const SampleSource> inner, const DayFilter& filter);
    std::size_t size() const override { return passing_; }
    const std::string& path() const override { return inner_.path(); }
    void forEachChunk(const Visit& visit) const override;
    bool hasDays() const override { return true; }
    void forEachDatedChunk(const DatedVisit& visit) const override;
    // The first and last known date of the other source's samples; false
    // when none has a known date.
    bool dated() const { return span_.dated; }
    std::int32_t firstDay() const { return span_.first; }
    std::int32_t lastDay() const { return span_.last; }

private:
    std::shared_ptr<const SampleSource> owned_;
    const SampleSource& inner_;
    std::uint8_t weekdays_;
    std::int32_t from_, to_;
    std::size_t passing_ = 0;
    DaySpan span_;
};
