#pragma once

#include <QByteArray>
#include <QString>

// The readback of an uploaded .bin: one synchronous HTTP GET of "/hex.hex" and the byte
// comparison with what the upload meant to store.
namespace orvane::engine {

struct ReadbackResponse {
  bool succeeded = false;   // status 200 and a non-empty body
  long status = 0;          // status code of the last response, 0 when none came
  QString failure;          // what went wrong, for the log
  QByteArray body;
};

// A reusable HTTP client (one libcurl easy handle). Never uses a proxy: the request goes
// straight to the device.
class ReadbackClient {
 public:
  ReadbackClient();
  ~ReadbackClient();
  ReadbackClient(const ReadbackClient&) = delete;
  ReadbackClient& operator=(const ReadbackClient&) = delete;

  // GET http://address:port/hex.hex with the program's user-agent line; the whole
  // request is bounded by timeoutMs. After a failure the client's connection is dropped.
  ReadbackResponse fetch(const QString& address, quint16 port, int timeoutMs);

 private:
  void* handle_ = nullptr;
};

// -1: equal; 0: lengths differ; i > 0: first differing index (a difference at index 0
// reads like a length mismatch).
int compareReadback(const QByteArray& received, const QByteArray& expected);

}  // namespace orvane::engine
