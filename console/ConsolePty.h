// The console's pseudo-terminal and its pump. The pump thread reads what the programs
// write and hands it to the sink, which may take only part of it (the scroll guard holds
// the rest back until the sink kicks the pump); it writes the queued input as the
// terminal takes it. Keys and replies are queued, never written by the caller, so a
// program that reads nothing cannot stall the session.
//
// The pty has no lock of its own: the owner serialises its calls (the console's lock),
// and the pump reaches the owner's state only through the sink. Kick, the pump's own
// reads and the pending-input flag are the exceptions.
#pragma once

#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <thread>

#include "base/UniqueFd.h"
#include "win32/ConsoleTerminal.h"
#include "win32/Win32.h"

class ConsolePty {
  public:
    static constexpr std::size_t kMaxPendingInput = 1 << 20;
    static constexpr std::size_t kInputHighWater = 64 * 1024;
    static constexpr std::size_t kInputLowWater = 16 * 1024;

    // Called on the pump's thread, without any lock of the pty's.
    class Sink {
      public:
        virtual ~Sink() = default;
        // Program output read from the terminal (again, for the part held back before).
        // pause: how long (ms) the terminal held nothing to read before this came, or 0.
        // Returns the bytes taken; the rest is offered again after the next Kick.
        virtual std::size_t Output(std::string_view bytes, unsigned long pause) = 0;
        // The terminal takes input again.
        virtual void Writable() = 0;
        // No program holds the terminal any more and all it wrote was read.
        virtual void HungUp() = 0;
    };

    ConsolePty() = default;
    ConsolePty(const ConsolePty&) = delete;
    ConsolePty& operator=(const ConsolePty&) = delete;
    ~ConsolePty();

    // Takes the terminal (the one the privileged side made, when there is one). False
    // with the error code set.
    bool Open();
    // Starts the pump, which hands what it reads to sink from now on.
    void Start(Sink& sink);

    const std::string& Name() const { return m_name; }
    // Wakes the pump: queued input to write, or output held back may pass now.
    void Kick();

    // Queues bytes for the programs' input (dropped when kMaxPendingInput is queued).
    void QueueInput(std::string_view bytes);
    // Writes what the terminal takes now. True when the queue just drained below
    // kInputLowWater after passing kInputHighWater.
    bool FlushInput();
    // Queued input past kInputHighWater, until it drains below kInputLowWater.
    bool InputFull() const { return m_inputFull; }
    void DropInput();

    void SetSize(int rows, int cols);
    bool SetInputMode(DWORD mode);
    bool GetInputMode(DWORD& mode);
    // One read of the terminal's input side; in line mode a line ends in CR.
    bool ReadInput(char* buffer, DWORD size, DWORD& read);
    // SIGINT to the terminal's foreground process group (never this process's).
    bool InterruptForeground();
    // The console gives up its own hold on the terminal: the pump then reports the end
    // (Sink::HungUp) once every program on it has closed it.
    void Release();
    bool Released() const { return m_released; }
    bool PrepareAttachment(ConsoleAttachment& attachment);
    // The terminal's modes back to those it started with; queued and unread input and
    // the output the pump holds back are dropped.
    void ResetModes();

  private:
    void Pump(Sink& sink);

    UniqueFd m_master;
    UniqueFd m_slave;
    UniqueFd m_pumpEvent;
    std::string m_name;
    termios m_defaultMode{};
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_hasPending{false};
    // A key was written by the queuing thread since the pump last woke (see QueueInput).
    std::atomic<bool> m_wroteDirectly{false};
    std::atomic<bool> m_released{false};
    std::atomic<unsigned> m_resets{0};  // counts ResetModes: output read before one is dropped
    std::string m_pendingInput;
    std::size_t m_pendingOffset = 0;  // bytes of m_pendingInput already written
    bool m_inputFull = false;
    std::thread m_pump;
};
