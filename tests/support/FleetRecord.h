#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>

// What a fleet run did to each simulated device, read from the simulator's record
// (sim/README.md, Record): the upload each device received on the file port, how often
// it was activated, and how many devices were uploading at the same time.
namespace orvane::test {

struct DeviceUpload {
  // The data fields of every UploadData frame the device received, in arrival order
  // (64 bytes each; the last chunk keeps its zero filler). A .bin run gives the upload
  // image once; a second upload (or a .web upload) appends its chunks.
  QByteArray image;
  int uploadStarts = 0;   // UploadStart frames received
  int uploadData = 0;     // UploadData frames received
  int activations = 0;    // "activated" events
  int resets = 0;         // "reset" events
  int tcpConnections = 0; // connections opened or refused, on any port
  int badFrames = 0;      // file-port frames that do not read as a frame
  // The upload interval: from the first UploadStart received to the last answer on the
  // file port or the activation, whichever came last (simulator milliseconds); -1: none.
  qint64 uploadFromMs = -1;
  qint64 uploadToMs = -1;
};

// Per device address, every device the record names (also those that saw no upload).
QMap<QString, DeviceUpload> deviceUploads(const QList<QJsonObject>& records);

// The largest number of devices whose upload intervals overlapped at one moment. An
// interval that ends in the same millisecond as another begins does not overlap it.
int maxConcurrentUploads(const QMap<QString, DeviceUpload>& uploads);

// What a device receives as the upload of this .bin file: the upload image (proto::
// binUploadImage) padded with zeros to whole 64-byte chunks.
QByteArray expectedBinUpload(const QByteArray& binFile);

}  // namespace orvane::test
