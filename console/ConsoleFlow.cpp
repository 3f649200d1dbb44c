#include "console/ConsoleFlow.h"

#include <algorithm>

#include "console/ConsoleBuffer.h"
#include "console/ConsoleHost.h"

static_assert(kMaxConsoleBufferHeight == ConsoleBuffer::kMaxHeight);

namespace {

class HeldConsole : public ConsoleCaptureLock {
  public:
    explicit HeldConsole(ConsoleHost& host) : m_hold(host) {}

  private:
    ConsoleHost::Hold m_hold;
};

}  // namespace

void ProvideConsoleTerminal() {
    ConsoleTerminal::SetProvider([]() -> ConsoleTerminal* { return ConsoleHost::Instance(); });
}

HANDLE ConsoleWaitEvent(HANDLE output, ConsoleWait which) {
    ConsoleHost* host = ConsoleHost::ForHandle(output, true);
    if (host == nullptr) {
        return nullptr;
    }
    return which == ConsoleWait::Changed ? host->ChangeEvent() : host->AttentionEvent();
}

DWORD ConsoleAttention(HANDLE output) {
    ConsoleHost* host = ConsoleHost::ForHandle(output, true);
    if (host == nullptr) {
        return 0;
    }
    return (host->CaptureWanted() ? kConsoleCaptureWanted : 0) |
           (host->InputFull() ? kConsoleInputFull : 0) |
           (host->OutputEnded() ? kConsoleOutputEnded : 0) |
           (host->Changed() ? kConsoleChanged : 0);
}

DWORD ConsoleQuietSpell(HANDLE output) {
    ConsoleHost* host = ConsoleHost::ForHandle(output, true);
    return host == nullptr
               ? 0
               : static_cast<DWORD>(std::min<unsigned long>(host->QuietSpell(), 0xFFFFFFFFUL));
}

std::unique_ptr<ConsoleCaptureLock> LockConsoleForCapture(HANDLE output) {
    ConsoleHost* host = ConsoleHost::ForHandle(output, true);
    if (host == nullptr) {
        return nullptr;
    }
    return std::make_unique<HeldConsole>(*host);
}

bool PlantScrollGuard(HANDLE output, SHORT row, DWORD lines) {
    ConsoleHost* host = ConsoleHost::ForHandle(output, true);
    if (host == nullptr) {
        return false;
    }
    host->GuardScroll(row, lines);
    return true;
}

bool ScrollGuardRow(HANDLE output, SHORT* row) {
    ConsoleHost* host = ConsoleHost::ForHandle(output, true);
    if (host == nullptr || row == nullptr) {
        return false;
    }
    *row = host->GuardRow();
    return true;
}

bool ReleaseTerminal(HANDLE output) {
    ConsoleHost* host = ConsoleHost::ForHandle(output, true);
    if (host == nullptr) {
        return false;
    }
    host->ReleaseTerminal();
    return true;
}

bool GetConsoleModes(HANDLE output, ConsoleModes* modes) {
    ConsoleHost* host = ConsoleHost::ForHandle(output, true);
    if (host == nullptr || modes == nullptr) {
        return false;
    }
    *modes = host->Modes();
    return true;
}

bool PassConsoleInput(HANDLE input, std::string_view bytes) {
    ConsoleHost* host = ConsoleHost::ForHandle(input, false);
    if (host == nullptr) {
        return false;
    }
    host->PassInput(bytes);
    return true;
}

bool ReadConsoleRichRow(HANDLE output, SHORT row, SHORT left, RichCell* cells, SHORT count) {
    ConsoleHost* host = ConsoleHost::ForHandle(output, true);
    if (host == nullptr || cells == nullptr) {
        return false;
    }
    return host->ReadRich(COORD{left, row}, cells, count);
}

bool GetConsoleBlank(HANDLE output, RichCell* blank) {
    ConsoleHost* host = ConsoleHost::ForHandle(output, true);
    if (host == nullptr || blank == nullptr) {
        return false;
    }
    *blank = host->BlankRich();
    return true;
}
