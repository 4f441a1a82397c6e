#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>
#include <cstdio>
#include <functional>

// Appends one JSON object per line to the record file and flushes every line, so that a
// test reading the file while the simulator runs sees each exchange as soon as it happened.
namespace orvane::sim {

class Recorder {
 public:
  Recorder() { clock_.start(); }
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // An empty path records nothing. False (with the reason) when the file cannot be opened.
  bool open(const QString& path, QString& error);
  // True when a line goes anywhere (a file or an observer): callers on a hot path build
  // their lines only then.
  bool recording() const { return file_ || onLine; }
  // Adds "t" (milliseconds since start) and "device", then writes the line.
  void write(const QString& device, QJsonObject line);
  // Called with every line, also when no file is open, for an observer in the same process.
  std::function<void(const QJsonObject& line)> onLine;

  // A request whose checksum, length or layout is wrong; also written to standard error.
  void violation(const QString& device, int port, const QString& detail);

 private:
  QElapsedTimer clock_;
  std::FILE* file_ = nullptr;
};

}  // namespace orvane::sim
