#include "session/ZMirror.h"

void ZMirror::Start(DWORD now, DWORD refreshDelay) {
    m_screen.NewBurst();
    m_refreshDelay = refreshDelay;
    m_lastExport = now - refreshDelay;
    m_pending = true;
    m_pendingSince = now;
    m_typed = false;
}

ZPace ZMirror::Look(DWORD now, DWORD deadline) {
    const DWORD attention = m_console.GetAttention();
    if (!m_pending && (attention & kConsoleChanged) != 0) {
        m_pending = true;
        m_pendingSince = now;
    }
    const bool wanted = (attention & kConsoleCaptureWanted) != 0;
    ZPaceInput in;
    in.now = now;
    in.lastExport = m_lastExport;
    in.pending = m_pending || wanted;
    in.pendingSince = m_pending ? m_pendingSince : now;
    in.urgent = wanted;
    in.typed = m_typed;
    in.refreshDelay = m_refreshDelay;
    in.nextDeadline = deadline;
    return ZPacing::Decide(in);
}

std::string ZMirror::Export(DWORD now) {
    m_pending = false;
    m_typed = false;
    m_lastExport = now;
    return m_screen.Export();
}

std::optional<std::string> ZMirror::Due(DWORD now) {
    const ZPace pace = Look(now, INFINITE);
    if (!pace.exportNow) {
        return std::nullopt;
    }
    // A new burst needs the loop to have seen no change for refresh_delay and the program
    // to have paused as long: a loop or a pump that fell behind on a busy machine is no
    // pause of the program's, and must not renew the burst in the middle of a flood.
    if (pace.newBurst && m_console.GetQuietSpell() >= m_refreshDelay) {
        m_screen.NewBurst();
    }
    return Export(now);
}

DWORD ZMirror::Wait(DWORD now, DWORD deadline) {
    const ZPace pace = Look(now, deadline);
    return pace.exportNow ? 0 : pace.wait;
}

std::optional<std::string> ZMirror::BeforeInput(DWORD now) {
    if (!m_screen.NewBurstNeedsCapture()) {
        return std::nullopt;
    }
    return Export(now);
}
