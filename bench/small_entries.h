// The listing benchmarks' archive of many small entries, the same in every
// benchmark that lists it.
#ifndef MORQUENT_BENCH_SMALL_ENTRIES_H
#define MORQUENT_BENCH_SMALL_ENTRIES_H

#include <cstdint>
#include <vector>

#include "tests/support/archive_builder.h"
#include "tests/support/test_content.h"

namespace bench_archives {

const int32_t SMALL_COUNT = 8191;

// 8,191 small entries (32 to 480 bytes of every content kind, every other one
// compressed, every 50th slot empty) after a first compressed bitmap.
inline std::vector<test_archive::Entry> SmallEntries()
{
    std::vector<test_archive::Entry> entries;
    entries.push_back(test_archive::Compressed(test_content::Bitmap(300, 7)));
    for (int32_t i = 1; i < SMALL_COUNT; i++) {
        if (i % 50 == 0) {
            entries.push_back(test_archive::Empty());
            continue;
        }
        size_t size = 32 + (size_t)(i * 37) % 449;
        std::vector<uint8_t> content = test_content::Make(i % test_content::KIND_COUNT, size, (uint32_t)i);
        entries.push_back(i % 2 ? test_archive::Compressed(content) : test_archive::Plain(content));
    }
    return entries;
}

}  // namespace bench_archives

#endif
