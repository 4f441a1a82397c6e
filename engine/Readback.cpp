#include "engine/Readback.h"

#include "common/Version.h"

#include <curl/curl.h>

#include <mutex>

namespace orvane::engine {

namespace {
size_t collect(char* data, size_t size, size_t count, void* target) {
  const size_t n = size * count;
  // Taking fewer bytes than offered aborts the transfer.
  return appendReadbackPiece(*static_cast<QByteArray*>(target), data, n) ? n : 0;
}

void initialiseCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}
}  // namespace

ReadbackClient::ReadbackClient() {
  initialiseCurlOnce();
  handle_ = curl_easy_init();
}

ReadbackClient::~ReadbackClient() {
  if (handle_) curl_easy_cleanup(static_cast<CURL*>(handle_));
}

ReadbackResponse ReadbackClient::fetch(const QString& address, quint16 port, int timeoutMs) {
  ReadbackResponse response;
  if (!handle_) handle_ = curl_easy_init();
  auto* curl = static_cast<CURL*>(handle_);
  if (!curl) {
    response.failure = QStringLiteral("the HTTP client could not be created");
    return response;
  }
  const QByteArray url = QStringLiteral("http://%1:%2/hex.hex").arg(address).arg(port).toUtf8();
  const QByteArray agent = QByteArrayLiteral("Orvane - Firmware upgrader ") + kProgramVersionText;
  char error[CURL_ERROR_SIZE] = {};

  curl_easy_reset(curl);
  curl_easy_setopt(curl, CURLOPT_URL, url.constData());
  curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.constData());
  curl_easy_setopt(curl, CURLOPT_PROXY, "");            // never through a proxy
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(timeoutMs));
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.body);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);

  const CURLcode code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);

  response.failure = code != CURLE_OK ? QString::fromUtf8(error[0] ? error : curl_easy_strerror(code))
                                       : readbackBodyFailure(response.status, response.body);
  if (code == CURLE_OK && response.failure.isEmpty()) {
    response.succeeded = true;
    return response;
  }
  // A failed request leaves no connection behind.
  curl_easy_cleanup(curl);
  handle_ = curl_easy_init();
  response.body.clear();
  return response;
}

bool appendReadbackPiece(QByteArray& body, const char* data, size_t size, qsizetype limit) {
  if (body.size() + qsizetype(size) > limit) return false;
  body.append(data, qsizetype(size));
  return true;
}

QString readbackBodyFailure(long status, const QByteArray& body) {
  if (status != 200) return QStringLiteral("status %1").arg(status);
  if (body.isEmpty()) return QStringLiteral("empty body");
  return QString();
}

int compareReadback(const QByteArray& received, const QByteArray& expected) {
  if (received.size() != expected.size()) return 0;
  for (qsizetype i = 0; i < expected.size(); ++i)
    if (received.at(i) != expected.at(i)) return int(i);
  return -1;
}

}  // namespace orvane::engine
