// A write that fails with an exception that is not the archive's own (here:
// std::bad_alloc at any one allocation inside write()) leaves the archive as
// it was and writable. This binary replaces the global operator new so that
// one allocation can be made to fail; it holds no other test.
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "archive/Archive.h"
#include "tests/support/TestUtil.h"

using namespace tmx::archive;
using tmx::test::TempDir;

namespace {

// Allocations left before the one that fails, on this thread; 0: none fails.
thread_local long failAfter = 0;

void *allocate(std::size_t n)
{
  if (failAfter > 0 && --failAfter == 0)
    throw std::bad_alloc();
  if (void *p = std::malloc(n ? n : 1))
    return p;
  throw std::bad_alloc();
}

void *allocate(std::size_t n, const std::nothrow_t &) noexcept
{
  try {
    return allocate(n);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

} // namespace

void *operator new(std::size_t n)
{
  return allocate(n);
}
void *operator new[](std::size_t n)
{
  return allocate(n);
}
void *operator new(std::size_t n, const std::nothrow_t &t) noexcept
{
  return allocate(n, t);
}
void *operator new[](std::size_t n, const std::nothrow_t &t) noexcept
{
  return allocate(n, t);
}
void operator delete(void *p) noexcept
{
  std::free(p);
}
void operator delete[](void *p) noexcept
{
  std::free(p);
}
void operator delete(void *p, std::size_t) noexcept
{
  std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept
{
  std::free(p);
}
void operator delete(void *p, const std::nothrow_t &) noexcept
{
  std::free(p);
}
void operator delete[](void *p, const std::nothrow_t &) noexcept
{
  std::free(p);
}

TEST(Archive, WriteFailingAtAnyAllocationLeavesTheArchiveWritable)
{
  TempDir dir;
  Archive a(dir.file("a.sqlite"));
  constexpr std::int64_t t0 = 1796725800;
  Batch b;
  for (int i = 0; i < 40; ++i) {
    HousekeepingRecord r;
    r.housing = i % 2;
    r.readingTime = t0 + 30 * (i / 2);
    r.temperature = 20.0 + i;
    r.humidity = 40.0;
    r.water = i == 7;
    r.arrivalTime = double(r.readingTime) + 0.5;
    b.housekeeping.push_back(r);
  }
  b.messages.push_back({ 1, "heater on", t0, double(t0) + 1 });
  b.console.push_back({ "console line", double(t0) + 2 });

  // The n-th allocation of write() fails, for n = 1, 2, ... until a write
  // makes fewer allocations than n and succeeds.
  long failures = 0;
  for (long n = 1;; ++n) {
    ASSERT_LT(n, 100000) << "write() never succeeded";
    failAfter = n;
    bool failed = false;
    try {
      a.write(b);
    } catch (const std::bad_alloc &) {
      failed = true;
    } catch (const Error &) {
      failed = true; // an allocation failure may also come out as the archive's error
    }
    const bool allocationFailed = failAfter == 0;
    failAfter = 0;
    if (!failed) {
      ASSERT_FALSE(allocationFailed) << "write() succeeded although allocation " << n << " failed";
      break;
    }
    ++failures;
    SCOPED_TRACE("allocation " + std::to_string(n) + " failed");
    // Nothing of the batch is stored, and the archive takes other writes.
    ASSERT_EQ(a.stats().housekeeping.count, 0u);
    ASSERT_TRUE(a.log(0, 1e12, 10).empty());
    Batch other;
    other.console.push_back({ "probe", 1.0 });
    ASSERT_EQ(a.write(other).console, 1u);
    ASSERT_GT(a.prune(2.0), 0u);
  }
  EXPECT_GT(failures, 0);
  EXPECT_EQ(a.stats().housekeeping.count, 40u);
  const Series s = a.housekeeping(0, double(t0), double(t0 + 4 * 3600), 2);
  ASSERT_EQ(s.temperature.size(), 1u);
  EXPECT_EQ(*s.temperature[0].min, 20.0);
  EXPECT_EQ(*s.temperature[0].max, 58.0);
  EXPECT_EQ(a.log(0, 1e12, 10).size(), 2u);
}
