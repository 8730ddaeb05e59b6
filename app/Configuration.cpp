#include "app/Configuration.h"

#include "framework/MicroApp.h"

#include <string>

Configuration::~Configuration() = default;

short Configuration::initialize(const char *name)
{
  if (name)
    return file_.initialize(name);
  std::string defaultName = std::string(appName()) + ".cfg";
  return file_.initialize(defaultName.c_str());
}

short Configuration::initialize(const char *name, const std::string &directory)
{
  return file_.initialize(name, directory);
}

void Configuration::write()
{
  file_.write();
}

short Configuration::getItem(const char *key, std::unique_ptr<ConfigItem> &item)
{
  return file_.getItem(key, item);
}

void Configuration::replaceItem(std::unique_ptr<ConfigItem> item)
{
  if (item)
    file_.replaceItem(*item);
}

short Configuration::addItem(const char *key, const char *value)
{
  return file_.addItem(key, value);
}

short AppConfiguration::getItem(const char *key, std::unique_ptr<ConfigItem> &item)
{
  return Configuration::getItem(key, item);
}
