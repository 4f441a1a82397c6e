#include "sim/SimRecord.h"

#include <QJsonDocument>

namespace orvane::sim {

Recorder::~Recorder() {
  if (file_) std::fclose(file_);
}

bool Recorder::open(const QString& path, QString& error) {
  if (path.isEmpty()) return true;
  file_ = std::fopen(path.toLocal8Bit().constData(), "a");
  if (!file_) {
    error = QStringLiteral("cannot open the record file %1").arg(path);
    return false;
  }
  return true;
}

void Recorder::write(const QString& device, QJsonObject line) {
  if (!file_ && !onLine) return;
  line.insert(QStringLiteral("t"), double(clock_.elapsed()));
  line.insert(QStringLiteral("device"), device);
  if (onLine) onLine(line);
  if (!file_) return;
  const QByteArray text = QJsonDocument(line).toJson(QJsonDocument::Compact);
  std::fwrite(text.constData(), 1, size_t(text.size()), file_);
  std::fputc('\n', file_);
  std::fflush(file_);
}

void Recorder::violation(const QString& device, int port, const QString& detail) {
  std::fprintf(stderr, "orvane-devsim: %s port %d: %s\n", device.toLocal8Bit().constData(), port,
               detail.toLocal8Bit().constData());
  write(device, QJsonObject{{QStringLiteral("event"), QStringLiteral("violation")},
                            {QStringLiteral("port"), port},
                            {QStringLiteral("detail"), detail}});
}

}  // namespace orvane::sim
