#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <functional>

#include "sim/SimConfig.h"
#include "sim/SimDevice.h"
#include "sim/SimRecord.h"

class QSocketNotifier;
class QTcpServer;
class QTcpSocket;

// Owns the sockets of the simulator: one UDP socket on 0.0.0.0:7010 for every device (the
// destination address of each datagram, read with IP_PKTINFO, tells the device; replies
// leave from the device's own address) and one TCP listener each on 8010, 8004 and 80
// (the local address of an accepted connection tells the device).
namespace orvane::sim {

class SimServer : public QObject {
 public:
  SimServer(const QList<DeviceConfig>& devices, Recorder& recorder, QObject* parent = nullptr);
  ~SimServer() override;

  // Binds every socket; false with the reason when one cannot be bound.
  bool start(QString& error);

 private:
  struct Connection;

  void readDatagrams();
  void handleDatagram(const QByteArray& datagram, quint32 destination, quint32 source, quint16 sourcePort);
  void sendDatagram(SimDevice* device, const QByteArray& bytes, quint32 destination, quint16 port);
  bool transmitDatagram(SimDevice* device, const QByteArray& bytes, quint32 destination, quint16 port);
  void scheduleUdpFaults(SimDevice* device, const QByteArray& request, const std::function<void()>& send,
                         int delayMs, quint32 destination, quint16 port);
  void acceptConnections(QTcpServer* server, int port);
  void readConnection(Connection* c);
  void sendAnswer(Connection* c, const QByteArray& answer, const QList<int>& split, bool close);
  void refuse(QTcpSocket* socket);
  void dropConnections(SimDevice* device);
  SimDevice* deviceAt(quint32 address) const;

  Recorder& recorder_;
  QList<SimDevice*> devices_;
  QHash<quint32, SimDevice*> byAddress_;
  QHash<SimDevice*, QSet<QTcpSocket*>> connections_;
  int udpSocket_ = -1;
  QSocketNotifier* udpNotifier_ = nullptr;
  QList<QTcpServer*> servers_;
};

}  // namespace orvane::sim
