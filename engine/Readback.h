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

// Bodies larger than any image the upload can address are not collected.
inline constexpr qsizetype kMaxReadbackBody = qsizetype(1) << 25;

// Appends one received piece of the body; false, with nothing appended, when the body
// would grow beyond `limit` bytes (the transfer is then aborted).
bool appendReadbackPiece(QByteArray& body, const char* data, size_t size, qsizetype limit = kMaxReadbackBody);

// The verdict on a completed transfer: an empty text when it succeeded (status 200 and
// a non-empty body), else what went wrong, for the log.
QString readbackBodyFailure(long status, const QByteArray& body);

// -1: equal; 0: lengths differ; i > 0: first differing index (a difference at index 0
// reads like a length mismatch).
int compareReadback(const QByteArray& received, const QByteArray& expected);

}  // namespace orvane::engine
