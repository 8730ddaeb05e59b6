#include "tools/archive/Archive.h"

namespace tmx::archive {

struct Archive::Impl
{
  std::string path;
};

Archive::Archive(const std::string &path, const OpenOptions &)
  : impl_(std::make_unique<Impl>())
{
  impl_->path = path;
  throw Error("archive: not implemented yet");
}
Archive::~Archive() = default;
const std::string &Archive::path() const
{
  return impl_->path;
}
WriteCounts Archive::write(const Batch &)
{
  return {};
}
std::size_t Archive::prune(double, std::size_t)
{
  return 0;
}
Series Archive::housekeeping(int, double, double, unsigned) const
{
  return {};
}
std::size_t Archive::forEachRecord(double,
                                   double,
                                   std::optional<int>,
                                   const std::function<bool(const HousekeepingRecord &)> &,
                                   std::size_t,
                                   bool *) const
{
  return 0;
}
std::vector<HousekeepingRecord> Archive::records(double, double, std::optional<int>, std::size_t) const
{
  return {};
}
std::vector<LogEntry> Archive::log(double, double, std::size_t) const
{
  return {};
}
std::optional<HousekeepingRecord> Archive::latest(int) const
{
  return std::nullopt;
}
Stats Archive::stats() const
{
  return {};
}
std::uint64_t Archive::fileBytes() const
{
  return 0;
}
const char *housingName(int h)
{
  return h == 0 ? "electronics" : h == 1 ? "spectrograph" : "";
}
std::optional<int> parseHousing(const std::string &)
{
  return std::nullopt;
}
const char *priorityName(int)
{
  return "";
}
void Batch::clear()
{
  housekeeping.clear();
  messages.clear();
  console.clear();
}
bool HousekeepingRecord::operator==(const HousekeepingRecord &) const
{
  return false;
}

} // namespace tmx::archive
