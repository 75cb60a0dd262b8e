// LZSS encoder: content cut into blocks, each encoded on its own against the
// 4,096 bytes before it (writer/lzss_blocks.h: the block's virtual text), on
// as many threads as asked, and the blocks' tokens put into groups in order.
//
// The optimal level: exact longest matches from binary search trees over the
// window, then the parse of fewest bits (writer/lzss_parse.cpp). Whether a
// match exists at a position depends only on the data, never on how earlier
// bytes were coded, so with the exact longest match at every position that
// parse is the smallest output the format allows for the block. The normal
// level (writer/lzss_normal.cpp) finds its matches faster and parses them the
// same way; the fast level is in writer/lzss_fast.cpp.
#include "writer/lzss_encoder.h"

#include <algorithm>
#include <cstring>
#include <deque>

// Threads, except in WebAssembly built without them (the page).
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
#define MORQUENT_LZSS_THREADS 0
#else
#define MORQUENT_LZSS_THREADS 1
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

#include "archive/lzss.h"
#include "writer/lzss_blocks.h"

using lzss_blocks::CommonPrefix;
using lzss_blocks::TokenBlock;

namespace {

constexpr int64_t kNil = -1;
constexpr int64_t kWindow = LZSS_RING_SIZE;    // distances 1..4096
constexpr int kMaxMatch = LZSS_MAX_MATCH;      // key length of the trees
constexpr size_t kSlots = 2 * LZSS_RING_SIZE;  // nodes, by position mod 8192
constexpr size_t kHeads = size_t(1) << 14;     // trees, by a hash of 3 bytes

// Binary search trees of earlier positions, keyed by the kMaxMatch bytes
// that follow each position, one tree per hash of the first three bytes.
// Every insertion makes the new position the root and splits the old tree
// along the search path, so each node is newer than all nodes below it: the
// first node met that is out of the window ends the search, and everything
// below it is dropped. Keys are distinct: a position whose key equals an
// older one takes over that node's children, and the older one drops out.
// The search path holds the new key's neighbours in key order among the
// positions in the window, so the longest match it meets is exact.
struct MatchFinder {
    const uint8_t* text = nullptr;
    std::vector<int64_t> head = std::vector<int64_t>(kHeads, kNil);
    // Children of each node: [2s] keys below it, [2s + 1] keys above it.
    std::vector<int64_t> child = std::vector<int64_t>(2 * kSlots, kNil);

    static size_t Slot(int64_t p) { return static_cast<size_t>(p) & (kSlots - 1); }

    void Add(int64_t r)
    {
        int64_t source;
        Insert(r, source);
    }

    // Adds position r (all earlier positions must have been added) and
    // returns the length of the longest match at distance 1..kWindow, with
    // its position in `source`; 0 when there is none of 3 bytes or more.
    int Insert(int64_t r, int64_t& source)
    {
        const uint8_t* key = text + r;
        const size_t h = ((key[0] << 6) ^ (key[1] << 3) ^ key[2] ^ (key[0] << 11)) & (kHeads - 1);
        int64_t p = head[h];
        head[h] = r;
        // bound[1] is where the next node below the key goes, bound[0] where
        // the next node above it goes; shared[] their common prefix with it.
        int64_t* bound[2] = {&child[2 * Slot(r) + 1], &child[2 * Slot(r)]};
        int shared[2] = {0, 0};
        int best = 0;
        while (p != kNil && r - p <= kWindow) {
            const uint8_t* node = text + p;
            const int n = CommonPrefix(key, node, shared[0] < shared[1] ? shared[0] : shared[1]);
            int64_t* pair = &child[2 * Slot(p)];
            if (n > best) {
                best = n;
                source = p;
            }
            if (n == kMaxMatch) {  // same key: r takes p's children, p drops out
                *bound[1] = pair[0];
                *bound[0] = pair[1];
                return best >= LZSS_MIN_MATCH ? best : 0;
            }
            // Below the key: the next candidates lie in p's upper subtree, and
            // the other way round.
            if (node[n] < key[n]) {
                *bound[1] = p;
                bound[1] = &pair[1];
                shared[1] = n;
                p = pair[1];
            } else {
                *bound[0] = p;
                bound[0] = &pair[0];
                shared[0] = n;
                p = pair[0];
            }
        }
        *bound[0] = *bound[1] = kNil;
        return best >= LZSS_MIN_MATCH ? best : 0;
    }
};

// Token groups: a flag byte, then up to eight tokens. A group runs on across
// blocks, so it is kept until it is complete.
struct GroupWriter {
    uint8_t group[1 + 8 * 2];
    size_t length = 0;  // bytes of `group` in use; 0: no group begun
    unsigned tokens = 0;

    void Token(std::vector<uint8_t>& out, bool reference, const uint8_t* bytes)
    {
        if (length == 0) {
            group[0] = 0;
            length = 1;
        }
        if (reference) group[0] |= static_cast<uint8_t>(1u << tokens);
        group[length++] = bytes[0];
        if (reference) group[length++] = bytes[1];
        if (++tokens == 8) Flush(out);
    }
    void Flush(std::vector<uint8_t>& out)
    {
        out.insert(out.end(), group, group + length);
        length = 0;
        tokens = 0;
    }

    // Appends a block's tokens: the open group is completed token by token,
    // then whole groups are made of eight tokens at a time (their kinds read
    // at any bit offset), and the last few open a new group.
    void Append(const TokenBlock& block, std::vector<uint8_t>& out)
    {
        size_t t = 0, p = 0;
        for (; t < block.count && length != 0; t++) {
            const bool reference = block.IsReference(t);
            Token(out, reference, &block.payload[p]);
            p += reference ? 2 : 1;
        }
        const size_t groups = (block.count - t) / 8;
        const size_t before = out.size();
        out.resize(before + groups * 17);
        uint8_t* w = out.data() + before;
        for (size_t g = 0; g < groups; g++, t += 8) {
            const unsigned pair = block.kinds[t >> 3] | block.kinds[(t >> 3) + 1] << 8;
            const uint8_t flags = static_cast<uint8_t>(pair >> (t & 7));
            const size_t n = 8 + static_cast<size_t>(__builtin_popcount(flags));
            *w++ = flags;
            std::memcpy(w, &block.payload[p], n);
            w += n;
            p += n;
        }
        out.resize(static_cast<size_t>(w - out.data()));
        for (; t < block.count; t++) {
            const bool reference = block.IsReference(t);
            Token(out, reference, &block.payload[p]);
            p += reference ? 2 : 1;
        }
    }
};

}  // namespace

namespace lzss_blocks {

void EncodeOptimal(const uint8_t* text, bool history, uint64_t start, size_t size, TokenBlock& tokens)
{
    MatchFinder finder;
    finder.text = text;
    EncodeFewestBits(finder, text, history, start, size, tokens);
}

}  // namespace lzss_blocks

namespace {

// One block of a stream, from the moment it is queued until it is taken.
// The last block of a stream (empty when the content ended at a block's
// end) says so and carries the stream's tag.
struct Job {
    std::vector<uint8_t> text;  // the block's virtual text (lzss_blocks.h); freed once encoded
    size_t size = 0;            // content bytes
    uint64_t start = 0;         // where the block begins in its stream
    bool history = false;       // the text's first 4,096 bytes are content (not the ring's zeros)
    bool streamEnd = false;     // the stream ends with this block
    uint64_t tag = 0;           // with streamEnd: the stream's tag
    bool done = false;          // encoded (guarded by the pipeline's mutex)
    TokenBlock tokens;
};

void EncodeJob(Job& job, LzssLevel level)
{
    switch (level) {
    case LzssLevel::Fast:
        lzss_blocks::EncodeFast(job.text.data(), job.history, job.start, job.size, job.tokens);
        break;
    case LzssLevel::Normal:
        lzss_blocks::EncodeNormal(job.text.data(), job.history, job.start, job.size, job.tokens);
        break;
    case LzssLevel::Optimal:
        lzss_blocks::EncodeOptimal(job.text.data(), job.history, job.start, job.size, job.tokens);
        break;
    }
    std::vector<uint8_t>().swap(job.text);
}

}  // namespace

struct LzssPipeline::Impl {
    LzssOptions options;
#if MORQUENT_LZSS_THREADS
    std::vector<std::thread> workers;
    mutable std::mutex mutex;
    std::condition_variable workReady;  // todo has a job, or stopping
    std::condition_variable jobDone;
    std::deque<Job*> todo;  // blocks waiting for a worker
    bool stopping = false;
#endif
    std::deque<std::unique_ptr<Job>> order;  // every block not yet taken, in stream order

    // The stream being added to.
    std::unique_ptr<Job> filling;  // the block being filled; null until content comes
    std::vector<uint8_t> history;  // the last 4,096 bytes of the virtual text so far
    uint64_t added = 0;            // content bytes of the stream in blocks already queued
    GroupWriter groups;            // the stream being taken

#if MORQUENT_LZSS_THREADS
    void Work()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            workReady.wait(lock, [&] { return stopping || !todo.empty(); });
            if (stopping) return;
            Job* job = todo.front();
            todo.pop_front();
            lock.unlock();
            EncodeJob(*job, options.level);
            lock.lock();
            job->done = true;
            jobDone.notify_all();
        }
    }
#endif

    void Queue(std::unique_ptr<Job> job)
    {
#if MORQUENT_LZSS_THREADS
        Job* raw = job.get();
        std::lock_guard<std::mutex> lock(mutex);
        order.push_back(std::move(job));
        if (workers.empty()) {
            EncodeJob(*raw, options.level);
            raw->done = true;
        } else {
            todo.push_back(raw);
            workReady.notify_one();
        }
#else
        EncodeJob(*job, options.level);
        job->done = true;
        order.push_back(std::move(job));
#endif
    }

    void StartFilling()
    {
        filling.reset(new Job);
        filling->start = added;
        filling->history = added != 0;
        filling->text.reserve(lzss_blocks::kHistory + std::min(options.blockSize, size_t(1) << 26) +
                              lzss_blocks::kTextPadding);
        filling->text.assign(history.begin(), history.end());
    }

    // Queues the block being filled; the next block's history is the last
    // 4,096 bytes of its virtual text.
    void QueueFilling()
    {
        Job& job = *filling;
        job.text.resize(lzss_blocks::kHistory + job.size + lzss_blocks::kTextPadding, 0);
        history.assign(job.text.begin() + static_cast<std::ptrdiff_t>(job.size),
                       job.text.begin() + static_cast<std::ptrdiff_t>(job.size + lzss_blocks::kHistory));
        added += job.size;
        Queue(std::move(filling));
    }
};

LzssPipeline::LzssPipeline(const LzssOptions& options) : impl_(new Impl)
{
    impl_->options = options;
    impl_->options.blockSize = std::min(std::max(options.blockSize, size_t(1)), lzss_blocks::kMaxNormalBlock);
    impl_->history.assign(lzss_blocks::kHistory, 0);
#if MORQUENT_LZSS_THREADS
    if (options.threads > 1)
        for (unsigned i = 0; i < options.threads; i++) impl_->workers.emplace_back([this] { impl_->Work(); });
#endif
}

LzssPipeline::~LzssPipeline()
{
#if MORQUENT_LZSS_THREADS
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->workReady.notify_all();
    for (std::thread& worker : impl_->workers) worker.join();
#endif
}

void LzssPipeline::Add(const uint8_t* data, size_t size)
{
    Impl& s = *impl_;
    const size_t blockSize = s.options.blockSize;
    while (size) {
        if (!s.filling) s.StartFilling();
        Job& job = *s.filling;
        const size_t n = std::min(size, blockSize - job.size);
        job.text.insert(job.text.end(), data, data + n);
        job.size += n;
        data += n;
        size -= n;
        if (job.size == blockSize) s.QueueFilling();
    }
}

void LzssPipeline::EndStream(uint64_t tag)
{
    Impl& s = *impl_;
    if (!s.filling) s.StartFilling();  // content that ended at a block's end: an empty last block
    s.filling->streamEnd = true;
    s.filling->tag = tag;
    s.QueueFilling();
    s.added = 0;
    s.history.assign(lzss_blocks::kHistory, 0);
}

LzssPipeline::Taken LzssPipeline::Take(std::vector<uint8_t>& out, bool wait)
{
    Impl& s = *impl_;
    std::unique_ptr<Job> job;
    {
#if MORQUENT_LZSS_THREADS
        std::unique_lock<std::mutex> lock(s.mutex);
        if (s.order.empty()) return Taken();
        if (wait) s.jobDone.wait(lock, [&] { return s.order.front()->done; });
#else
        (void)wait;
        if (s.order.empty()) return Taken();
#endif
        if (!s.order.front()->done) return Taken();
        job = std::move(s.order.front());
        s.order.pop_front();
    }
    s.groups.Append(job->tokens, out);
    Taken taken;
    taken.any = true;
    if (job->streamEnd) {
        if (s.groups.length) s.groups.Flush(out);
        taken.streamEnd = true;
        taken.tag = job->tag;
        taken.content = job->start + job->size;
    }
    return taken;
}

size_t LzssPipeline::Queued() const
{
#if MORQUENT_LZSS_THREADS
    std::lock_guard<std::mutex> lock(impl_->mutex);
#endif
    return impl_->order.size();
}

bool LzssPipeline::Full() const
{
#if MORQUENT_LZSS_THREADS
    const size_t threads = impl_->workers.empty() ? 1 : impl_->workers.size();
#else
    const size_t threads = 1;
#endif
    return Queued() >= 2 * threads;
}

std::vector<uint8_t> LzssEncode(const uint8_t* data, size_t size, const LzssOptions& options)
{
    LzssPipeline pipeline(options);
    std::vector<uint8_t> out;
    const size_t piece = options.blockSize ? options.blockSize : 1;
    for (size_t at = 0; at < size; at += std::min(piece, size - at)) {
        pipeline.Add(data + at, std::min(piece, size - at));
        while (pipeline.Full()) pipeline.Take(out, true);
    }
    pipeline.EndStream();
    while (!pipeline.Take(out, true).streamEnd) {
    }
    return out;
}
