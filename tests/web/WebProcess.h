// Starting tmx-web as a child in the tests that run the program.
#pragma once

#include "tests/support/TestSupport.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

namespace tmx::test {

// One tmx-web child on a free port (port) with its archive at archive,
// and an HTTP client for it.
class WebProcess
{
public:
  // wrapper: a command tmx-web runs under ("prlimit", "--fsize=N", "--");
  // options: more of tmx-web's own.
  WebProcess(const std::vector<std::string> &orbArgs,
             const std::string &archive,
             const std::vector<std::string> &wrapper = {},
             const std::vector<std::string> &options = {})
  {
    std::vector<std::string> argv = wrapper;
    std::vector<std::string> own{ "--archive", archive, "--listen", "127.0.0.1:0" };
    own.insert(own.end(), options.begin(), options.end());
    const auto web = programArgs("tmx-web", orbArgs, own);
    argv.insert(argv.end(), web.begin(), web.end());
    process = std::make_unique<ChildProcess>(argv);
    if (!process->waitForOut("serving http://127.0.0.1:"))
      throw std::runtime_error("tmx-web did not start: " + process->err());
    std::smatch m;
    const std::string out = process->out();
    if (!std::regex_search(out, m, std::regex("serving http://127.0.0.1:([0-9]+)/")))
      throw std::runtime_error("no port in: " + out);
    port = std::stoi(m[1]);
    client = std::make_unique<httplib::Client>("127.0.0.1", port);
    client->set_read_timeout(5, 0);
  }

  nlohmann::json get(const std::string &path)
  {
    auto r = client->Get(path.c_str());
    if (!r || r->status != 200)
      return nlohmann::json();
    return nlohmann::json::parse(r->body, nullptr, false);
  }
  std::string text(const std::string &path)
  {
    auto r = client->Get(path.c_str());
    return r ? r->body : std::string();
  }

  std::unique_ptr<ChildProcess> process;
  int port = 0;
  std::unique_ptr<httplib::Client> client;
};

} // namespace tmx::test
