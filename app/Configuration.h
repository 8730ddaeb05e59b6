// The application's configuration: a ConfigFile behind the operations the
// application and the housing sensors use.
#pragma once

#include "app/ConfigFile.h"

#include <memory>
#include <string>

class Configuration
{
public:
  Configuration() = default;
  virtual ~Configuration();
  Configuration(const Configuration &) = delete;
  Configuration &operator=(const Configuration &) = delete;

  // Reads the file `name`, or "<appName>.cfg" when `name` is null, in the
  // configuration directory of RunDirectories.
  virtual short initialize(const char *name = nullptr);
  // Reads the file `name` in `directory`.
  short initialize(const char *name, const std::string &directory);
  virtual void write();
  virtual short getItem(const char *key, std::unique_ptr<ConfigItem> &item);
  // Takes the item over; the file keeps a copy of it.
  virtual void replaceItem(std::unique_ptr<ConfigItem> item);
  virtual short addItem(const char *key, const char *value);

  ConfigFile &file() { return file_; }

private:
  ConfigFile file_;
};

// The monitor's configuration.
class AppConfiguration : public Configuration
{
public:
  short getItem(const char *key, std::unique_ptr<ConfigItem> &item) override;
};
