#include "session/ZCommandPipes.h"

#include <algorithm>

namespace {

// One pipe, ours kept non-waiting: the session's loop never blocks on the program.
bool MakePipe(UniqueHandle& read, UniqueHandle& write, bool oursIsRead) {
    HANDLE r = nullptr;
    HANDLE w = nullptr;
    if (CreatePipe(&r, &w, nullptr, 0) == FALSE) {
        return false;
    }
    read.Reset(r);
    write.Reset(w);
    DWORD mode = PIPE_NOWAIT;
    return SetNamedPipeHandleState(oursIsRead ? r : w, &mode, nullptr, nullptr) != FALSE;
}

}  // namespace

bool ZCommandPipes::Create(STARTUPINFOA& startup) {
    if (!MakePipe(m_programInput, m_input, false) || !MakePipe(m_output, m_programOutput, true) ||
        !MakePipe(m_error, m_programError, true)) {
        return false;
    }
    startup.dwFlags |= STARTF_USESTDHANDLES;
    startup.hStdInput = m_programInput.Get();
    startup.hStdOutput = m_programOutput.Get();
    startup.hStdError = m_programError.Get();
    return true;
}

void ZCommandPipes::Started() {
    m_programInput.Reset();
    m_programOutput.Reset();
    m_programError.Reset();
}

std::vector<HANDLE> ZCommandPipes::Handles() const {
    std::vector<HANDLE> handles;
    for (const UniqueHandle* output : {&m_output, &m_error}) {
        if (output->Valid()) {
            handles.push_back(output->Get());
        }
    }
    if (m_input.Valid() && !m_held.empty()) {
        handles.push_back(m_input.Get());
    }
    return handles;
}

bool ZCommandPipes::Drain(UniqueHandle& pipe, std::string& into) {
    if (!pipe.Valid()) {
        return false;
    }
    char buffer[16384];
    std::size_t taken = 0;
    while (taken < kReadSlice) {
        DWORD n = 0;
        if (ReadFile(pipe.Get(), buffer, sizeof buffer, &n, nullptr) == FALSE) {
            if (GetLastError() != ERROR_NO_DATA) {
                pipe.Reset();  // its end (or a failure that ends it just as well)
                return true;
            }
            break;
        }
        into.append(buffer, n);
        taken += n;
    }
    return taken > 0;
}

bool ZCommandPipes::Pump(std::string& out, std::string& err) {
    bool moved = false;
    while (m_input.Valid() && !m_held.empty()) {
        DWORD written = 0;
        const auto size = static_cast<DWORD>(std::min<std::size_t>(m_held.size(), 65536));
        if (WriteFile(m_input.Get(), m_held.data(), size, &written, nullptr) == FALSE) {
            // The program no longer reads: what it did not take is dropped, as a pipe does.
            m_held.clear();
            m_input.Reset();
            moved = true;
            break;
        }
        if (written == 0) {
            break;  // no room: the wait watches for it
        }
        m_held.erase(0, written);
        moved = true;
    }
    if (m_inputEnded && m_held.empty() && m_input.Valid()) {
        m_input.Reset();  // the program reads its end of input
        moved = true;
    }
    moved = Drain(m_output, out) || moved;
    moved = Drain(m_error, err) || moved;
    return moved;
}
