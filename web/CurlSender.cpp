#include "web/CurlSender.h"

#include <curl/curl.h>

#include <mutex>
#include <stdexcept>

namespace tmx::web {

namespace {

std::size_t collect(char *data, std::size_t size, std::size_t count, void *into)
{
  static_cast<std::string *>(into)->append(data, size * count);
  return size * count;
}

// curl_global_init is not thread-safe: once per process, before any handle.
void initCurlOnce()
{
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

struct CurlSender::Handle
{
  CURL *curl = nullptr;
  ~Handle()
  {
    if (curl)
      curl_easy_cleanup(curl);
  }
};

CurlSender::CurlSender()
  : handle_(std::make_unique<Handle>())
{
  initCurlOnce();
  handle_->curl = curl_easy_init();
  if (!handle_->curl)
    throw std::runtime_error("libcurl cannot make a handle");
}

CurlSender::~CurlSender() = default;

HttpExchange CurlSender::send(const std::string &method, const std::string &url, const std::string &body)
{
  CURL *curl = handle_->curl;
  curl_easy_reset(curl);
  HttpExchange result;
  char error[CURL_ERROR_SIZE] = "";
  curl_slist *headers = nullptr;
  headers = curl_slist_append(headers, "Content-Type: application/json");
  headers = curl_slist_append(headers, "Accept: application/json");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 2000L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 5000L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L); // no SIGALRM for the time-outs: this is a thread
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
  if (method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  } else if (method != "GET") {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  const CURLcode code = curl_easy_perform(curl);
  curl_slist_free_all(headers);
  if (code != CURLE_OK) {
    result.error = error[0] ? error : curl_easy_strerror(code);
    return result;
  }
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
  return result;
}

} // namespace tmx::web
