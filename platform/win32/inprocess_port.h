// A COM port whose device lives in this process: a test, a simulated modem, or the simulated
// serial-port driver. The port records what the application did to it (line settings, DTR and
// RTS, queue sizes, time-outs, purges; of the calls and purges only the last kKeptRecords, so
// that a port served for as long as a service runs stays bounded), shows the modem status bits it
// is given (a change of them is a line event for WaitCommEvent), and passes the application's bytes
// to its device.
#pragma once

#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/win32/comm.h"

namespace platform::win32 {

class InProcessPort;

// What sits behind an in-process port. Called without any lock held.
class CommDevice {
 public:
  virtual ~CommDevice() = default;
  // Bytes the application wrote; returns how many the device took. When it took fewer, it calls
  // InProcessPort::TransmitReady once it has room again.
  virtual std::size_t OnTransmit(InProcessPort& port, std::span<const BYTE> bytes) = 0;
  virtual void OnLineSettings(InProcessPort&, const DCB&) {}
  virtual void OnModemControl(InProcessPort&, bool /*dtr*/, bool /*rts*/) {}
  virtual void OnPurge(InProcessPort&, DWORD /*flags*/) {}
  virtual void OnOpen(InProcessPort&) {}
  virtual void OnClose(InProcessPort&) {}
};

class InProcessPort final : public CommBackend, public std::enable_shared_from_this<InProcessPort> {
 public:
  // One entry of the port's record of what the application did.
  struct Action {
    platform::clock::Time at;
    std::string what;  // "open", "close", "SETDTR", "CLRDTR", "SETRTS", "CLRRTS", "purge 15", ...
  };
  // How many of the latest actions and purges the record keeps.
  static constexpr std::size_t kKeptRecords = 256;
  struct State {
    bool open = false;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    DWORD inQueue = 0;
    DWORD outQueue = 0;
    bool dtr = false;
    bool rts = false;
    DWORD modemStatus = 0;
    std::vector<DWORD> purges;
    std::vector<Action> actions;
  };

  // Registers a port under a name ("COM3"); it is unregistered when the last reference goes.
  // A name already registered is taken over by the new port.
  static std::shared_ptr<InProcessPort> Create(const std::string& name);
  ~InProcessPort() override;

  const std::string& name() const { return name_; }
  void SetDevice(std::shared_ptr<CommDevice> device);

  // Device side.
  void Deliver(std::span<const BYTE> bytes);  // bytes from the line to the application
  void SetModemStatus(DWORD bits);            // MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON
  void ReportLineErrors(DWORD errors);        // CE_BREAK, CE_FRAME, CE_OVERRUN, CE_RXPARITY
  void SetModemStatusFails(bool fails);       // GetCommModemStatus fails (ERROR_GEN_FAILURE)
  void Vanish();                              // the device is gone: requests fail from now on
  void TransmitReady();                       // room again after OnTransmit took fewer bytes
  // How many more bytes the open port's receive queue takes (the application reads the rest
  // away); without an open port, any number: delivered bytes then go nowhere.
  DWORD ReceiveRoom() const;

  State Snapshot() const;

  // Marks the port open for one CommPort; false (last error set) when it is open already or
  // its device is gone.
  bool ClaimForOpen();

  // CommBackend
  void Attach(CommPort* port) override;
  void Detach() override;
  bool ApplyState(const DCB& dcb) override;
  bool ReadState(DCB& dcb) override;
  bool Escape(DWORD function) override;
  bool Setup(DWORD inQueue, DWORD outQueue) override;
  COMMTIMEOUTS LoadTimeouts() override;
  void StoreTimeouts(const COMMTIMEOUTS& timeouts) override;
  bool ModemStatus(DWORD& status) override;
  void Purge(DWORD flags) override;
  std::size_t Transmit(std::span<const BYTE> bytes) override;
  void Close() override;

 private:
  explicit InProcessPort(std::string name);
  void Record(std::string what);
  std::shared_ptr<CommDevice> Device() const;

  const std::string name_;
  mutable std::mutex mutex_;  // guards state_, device_ and the flags below
  State state_;
  std::shared_ptr<CommDevice> device_;
  bool statusFails_ = false;
  bool vanished_ = false;
  CommPort* port_ = nullptr;  // under the clock's mutex
};

// The backend for an in-process port of that name; null when there is none (last error
// ERROR_FILE_NOT_FOUND) or when it is open already (ERROR_ACCESS_DENIED).
std::shared_ptr<CommBackend> OpenInProcessBackend(const std::string& name);

}  // namespace platform::win32
