#include "console/ConsoleBuffer.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

// Cells are copied as bytes into storage that was never constructed.
static_assert(std::is_trivially_copyable_v<ConsoleCell>);

static bool SameCell(const ConsoleCell& a, const ConsoleCell& b) {
    return a.info.UnicodeChar == b.info.UnicodeChar && a.info.Attributes == b.info.Attributes &&
           a.rich == b.rich;
}

ConsoleBuffer::ConsoleBuffer(COORD size, SMALL_RECT window, const ConsoleCell& blank)
    : m_size(size),
      m_window(window),
      m_cells(Allocate<ConsoleCell>(size)),
      m_filled(static_cast<std::size_t>(size.Y), 0),
      m_text(Allocate<char>(size)),
      m_textLength(static_cast<std::size_t>(size.Y), 0),
      m_textPen(static_cast<std::size_t>(size.Y)),
      m_untouched(static_cast<std::size_t>(size.X), blank) {}

void ConsoleBuffer::UnpackText(std::size_t physical) const {
    ConsoleCell* row = &m_cells[physical * Width()];
    const char* text = &m_text[physical * Width()];
    const ConsoleCell& pen = m_textPen[physical];
    const int length = m_textLength[physical];
    for (int x = 0; x < length; ++x) {
        row[x] = pen;
        row[x].info.UnicodeChar = static_cast<WCHAR>(static_cast<unsigned char>(text[x]));
    }
    m_filled[physical] = static_cast<std::uint16_t>(length);
    m_textLength[physical] = 0;
}

void ConsoleBuffer::KeepRowsWhole() {
    m_whole = true;
    for (std::size_t physical = 0; physical < m_filled.size(); ++physical) {
        Fill(physical, m_size.X);
    }
}

bool ConsoleBuffer::Lazy(const ConsoleCell& blank) const {
    return !m_whole && SameCell(blank, m_untouched[0]);
}

void ConsoleBuffer::BlankRow(std::size_t physical, const ConsoleCell& blank) {
    m_textLength[physical] = 0;
    if (Lazy(blank)) {
        m_filled[physical] = 0;
        return;
    }
    std::fill_n(&m_cells[physical * Width()], m_size.X, blank);
    m_filled[physical] = static_cast<std::uint16_t>(m_size.X);
}

void ConsoleBuffer::Free::operator()(void* memory) const {
    std::free(memory);  // NOLINT(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
}

template <class T>
std::unique_ptr<T[], ConsoleBuffer::Free> ConsoleBuffer::Allocate(COORD size) {
    // calloc, not new: a large block comes from fresh zero pages the allocator need not
    // clear, so the rows not yet made stay out of memory.
    // NOLINTNEXTLINE(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
    auto* memory = static_cast<T*>(std::calloc(
        static_cast<std::size_t>(size.X) * static_cast<std::size_t>(size.Y), sizeof(T)));
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return std::unique_ptr<T[], Free>(memory);
}

bool ConsoleBuffer::Resize(COORD size, const ConsoleCell& blank) {
    if (size.X < 1 || size.Y < 1 || size.X > kMaxWidth || size.Y > kMaxHeight ||
        static_cast<long>(size.X) * size.Y > kMaxCells) {
        SetLastError(EINVAL);
        return false;
    }
    if (size.X < WindowWidth() || size.Y < WindowHeight()) {
        SetLastError(EINVAL);
        return false;
    }
    ConsoleBuffer resized(size, m_window, blank);
    if (m_whole) {
        resized.KeepRowsWhole();
    }
    const int width = std::min(size.X, m_size.X);
    const int height = std::min(size.Y, m_size.Y);
    // In the same blank, only the columns a row holds of its own are copied; in another,
    // the old blank is the row's own.
    const bool sameBlank = SameCell(m_untouched[0], blank);
    for (int y = 0; y < height; ++y) {
        Unpack(Physical(y));
        const int own = sameBlank ? std::min<int>(m_filled[Physical(y)], width) : width;
        if (own == 0) {
            continue;
        }
        ConsoleCell* row = resized.Fill(resized.Physical(y), own);
        for (int x = 0; x < own; ++x) {
            row[x] = std::as_const(*this).At(x, y);
        }
        // A double-width character cut in two by a narrower buffer is gone, as on a
        // terminal: half of it in the last column would wrap on the client.
        if (width < m_size.X &&
            (std::as_const(*this).At(width, y).info.Attributes & COMMON_LVB_TRAILING_BYTE) != 0 &&
            (resized.At(width - 1, y).info.Attributes & COMMON_LVB_TRAILING_BYTE) == 0) {
            resized.At(width - 1, y) = blank;
        }
    }
    m_cells = std::move(resized.m_cells);
    m_filled = std::move(resized.m_filled);
    m_text = std::move(resized.m_text);
    m_textLength = std::move(resized.m_textLength);
    m_textPen = std::move(resized.m_textPen);
    m_untouched = std::move(resized.m_untouched);
    m_size = size;
    m_firstRow = 0;
    // A window that now reaches past the buffer is moved back inside it.
    const SHORT w = WindowWidth();
    const SHORT h = WindowHeight();
    if (m_window.Right >= size.X) {
        m_window.Left = static_cast<SHORT>(size.X - w);
        m_window.Right = static_cast<SHORT>(size.X - 1);
    }
    if (m_window.Bottom >= size.Y) {
        m_window.Top = static_cast<SHORT>(size.Y - h);
        m_window.Bottom = static_cast<SHORT>(size.Y - 1);
    }
    return true;
}

bool ConsoleBuffer::SetWindow(const SMALL_RECT& window) {
    if (window.Left < 0 || window.Top < 0 || window.Right < window.Left ||
        window.Bottom < window.Top || window.Right >= m_size.X || window.Bottom >= m_size.Y) {
        SetLastError(EINVAL);
        return false;
    }
    m_window = window;
    return true;
}

void ConsoleBuffer::EraseScrollback(const ConsoleCell& blank) {
    for (int y = 0; y < m_window.Top; ++y) {
        BlankRow(Physical(y), blank);
    }
}

bool ConsoleBuffer::Clip(int& top, int& bottom, int& left, int& right) const {
    top = std::max(top, 0);
    left = std::max(left, 0);
    bottom = std::min(bottom, static_cast<int>(WindowHeight()));
    right = std::min(right, static_cast<int>(WindowWidth()));
    return top < bottom && left < right;
}

void ConsoleBuffer::Put(int row, int col, const ConsoleCell& cell) {
    if (row < 0 || col < 0 || row >= WindowHeight() || col >= WindowWidth()) {
        return;
    }
    const int x = m_window.Left + col;
    const int y = m_window.Top + row;
    const std::size_t physical = Physical(y);
    // The common case first: a narrow character over a narrow one splits nothing (and
    // past a row's own columns there is nothing to split).
    if (x < m_filled[physical]) {
        const ConsoleCell* line = &m_cells[physical * Width()];
        const WORD next = x + 1 < m_filled[physical] ? line[x + 1].info.Attributes : 0;
        if (((line[x].info.Attributes | next) & COMMON_LVB_TRAILING_BYTE) != 0) {
            SplitAt(x, y);
            SplitAt(x + 1, y);
        }
    }
    Fill(physical, x + 1)[x] = cell;
}

void ConsoleBuffer::PutText(int row, int col, std::string_view text, const ConsoleCell& cell,
                            bool hidden) {
    if (row < 0 || col < 0 || row >= WindowHeight() || col >= WindowWidth()) {
        return;
    }
    const int count = std::min(static_cast<int>(text.size()), WindowWidth() - col);
    const int x = m_window.Left + col;
    const int y = m_window.Top + row;
    // Only a double-width character across either end is split: one inside is
    // overwritten whole.
    const std::size_t physical = Physical(y);
    // Text that starts a blank row, or goes on from the end of a row kept as text in the
    // same pen, is kept as text; so is text further along, when the blank cells before
    // it look as the pen's spaces would. (The pen is compared field by field rather than
    // copied with a space put in: a wide load of a copy just written in part stalls.)
    const auto penOf = [&cell](const ConsoleCell& other) {
        return other.info.UnicodeChar == u' ' && other.info.Attributes == cell.info.Attributes &&
               other.rich == cell.rich;
    };
    const int length = m_textLength[physical];
    if (!m_whole && m_filled[physical] == 0 && length <= x &&
        (length == 0 || penOf(m_textPen[physical])) && (length == x || penOf(m_untouched[0]))) {
        ConsoleCell& pen = m_textPen[physical];
        pen.info.UnicodeChar = u' ';
        pen.info.Attributes = cell.info.Attributes;
        pen.rich = cell.rich;
        char* row = &m_text[physical * Width()];
        std::fill(row + length, row + x, ' ');
        char* out = row + x;
        if (hidden) {
            std::fill_n(out, count, ' ');
        } else {
            std::copy_n(text.data(), count, out);
        }
        m_textLength[physical] = static_cast<std::uint16_t>(x + count);
        return;
    }
    SplitAt(x, y);
    SplitAt(x + count, y);
    ConsoleCell* line = Fill(physical, x) + x;
    m_filled[physical] =
        std::max<std::uint16_t>(m_filled[physical], static_cast<std::uint16_t>(x + count));
    ConsoleCell space = cell;
    space.info.UnicodeChar = u' ';
    std::fill_n(line, count, space);
    if (!hidden) {
        for (int i = 0; i < count; ++i) {
            line[i].info.UnicodeChar = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
        }
    }
}

// A double-width character is a first half and a second half flagged as such. An
// operation that touches only one half erases both, as terminals do, so that no half is
// ever left without its partner. SplitAt breaks any character across the boundary
// between columns x - 1 and x.
void ConsoleBuffer::SplitAt(int x, int y) {
    // Wide characters are only among a row's own cells (not in its text, not in the blank).
    if (x <= 0 || x >= m_size.X || x >= m_filled[Physical(y)]) {
        return;
    }
    if ((std::as_const(*this).At(x, y).info.Attributes & COMMON_LVB_TRAILING_BYTE) == 0) {
        return;
    }
    ConsoleCell& second = At(x, y);
    ConsoleCell& first = At(x - 1, y);
    // The first half holds the same unit, or the high half of a surrogate pair.
    if ((first.info.Attributes & COMMON_LVB_TRAILING_BYTE) == 0) {
        first.info.UnicodeChar = u' ';
        first.rich.text = 0;
    }
    second.info =
        CHAR_INFO{u' ', static_cast<WORD>(second.info.Attributes & ~COMMON_LVB_TRAILING_BYTE)};
    second.rich.text = 0;
}

void ConsoleBuffer::Erase(int top, int bottom, int left, int right, const ConsoleCell& blank) {
    if (!Clip(top, bottom, left, right)) {
        return;
    }
    const int l = m_window.Left + left;
    const int r = m_window.Left + right;
    const bool lazy = Lazy(blank);
    for (int row = top; row < bottom; ++row) {
        const int y = m_window.Top + row;
        const std::size_t physical = Physical(y);
        const int length = m_textLength[physical];
        if (lazy && length != 0 && r >= length) {
            // The erased cells reach past the row's text: it ends where they start.
            m_textLength[physical] = static_cast<std::uint16_t>(std::min(length, l));
            continue;
        }
        SplitAt(l, y);
        SplitAt(r, y);
        if (lazy && m_textLength[physical] == 0 && r >= m_filled[physical]) {
            // The erased cells reach past the row's own: they become the buffer's blank.
            m_filled[physical] = static_cast<std::uint16_t>(std::min<int>(m_filled[physical], l));
            continue;
        }
        std::fill_n(Fill(physical, r) + l, r - l, blank);
    }
}

void ConsoleBuffer::Move(int destTop, int destLeft, int srcTop, int srcBottom, int srcLeft,
                         int srcRight) {
    const int rows = srcBottom - srcTop;
    const int cols = srcRight - srcLeft;
    if (rows <= 0 || cols <= 0) {
        return;
    }
    // Characters cut by the edges of the source or the destination go whole.
    for (int i = 0; i < rows; ++i) {
        for (const auto& [edge, row] :
             {std::pair{srcLeft, srcTop + i}, std::pair{srcRight, srcTop + i},
              std::pair{destLeft, destTop + i}, std::pair{destLeft + cols, destTop + i}}) {
            if (row >= 0 && row < WindowHeight()) {
                SplitAt(m_window.Left + edge, m_window.Top + row);
            }
        }
    }
    std::vector<ConsoleCell> block;
    block.reserve(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
    for (int i = 0; i < rows; ++i) {
        const int from = srcTop + i;
        for (int c = 0; c < cols; ++c) {
            const int x = srcLeft + c;
            const bool inside = from >= 0 && from < WindowHeight() && x >= 0 && x < WindowWidth();
            block.push_back(inside ? At(m_window.Left + x, m_window.Top + from) : ConsoleCell{});
        }
    }
    for (int i = 0; i < rows; ++i) {
        const int to = destTop + i;
        for (int c = 0; c < cols; ++c) {
            const int x = destLeft + c;
            if (to >= 0 && to < WindowHeight() && x >= 0 && x < WindowWidth()) {
                At(m_window.Left + x, m_window.Top + to) =
                    block[static_cast<std::size_t>(i) * static_cast<std::size_t>(cols) + c];
            }
        }
    }
}

void ConsoleBuffer::ScrollBack(int rows, const ConsoleCell& blank) {
    const bool lazy = Lazy(blank);
    for (int i = 0; i < rows; ++i) {
        std::size_t uncovered = 0;
        if (m_window.Bottom < m_size.Y - 1) {
            // The window moves down one row; the row it uncovers starts blank.
            ++m_window.Top;
            ++m_window.Bottom;
            uncovered = Physical(m_window.Bottom);
        } else {
            // The window is at the buffer's end: the whole buffer moves up, the top row is
            // lost. The rows form a ring, so this costs one row, not the whole buffer.
            m_firstRow = m_firstRow + 1 == m_size.Y ? 0 : m_firstRow + 1;
            uncovered = Physical(m_size.Y - 1);
        }
        if (lazy) {
            m_textLength[uncovered] = 0;
            m_filled[uncovered] = 0;
        } else {
            BlankRow(uncovered, blank);
        }
    }
}

int ConsoleBuffer::Scroll(int top, int bottom, int left, int right, int down, int right_,
                          const ConsoleCell& blank, bool keepHistory) {
    if (!Clip(top, bottom, left, right)) {
        return 0;
    }
    const int height = bottom - top;
    const int width = right - left;
    const bool wholeWindow =
        top == 0 && left == 0 && bottom == WindowHeight() && right == WindowWidth() && right_ == 0;
    if (keepHistory && wholeWindow && down > 0) {
        ScrollBack(std::min(down, height), blank);
        return std::min(down, height);
    }
    if (std::abs(down) >= height || std::abs(right_) >= width) {
        Erase(top, bottom, left, right, blank);
        return 0;
    }
    if (down > 0) {
        Move(top, left, top + down, bottom, left, right);
        Erase(bottom - down, bottom, left, right, blank);
    } else if (down < 0) {
        Move(top - down, left, top, bottom + down, left, right);
        Erase(top, top - down, left, right, blank);
    }
    if (right_ > 0) {
        Move(top, left, top, bottom, left + right_, right);
        Erase(top, bottom, right - right_, right, blank);
    } else if (right_ < 0) {
        Move(top, left - right_, top, bottom, left, right + right_);
        Erase(top, bottom, left, left - right_, blank);
    }
    return 0;
}

void ConsoleBuffer::SetWrapped(int row) {
    if (row < 0 || row >= WindowHeight()) {
        return;
    }
    At(m_window.Right, m_window.Top + row).rich.flags |= cell_flag::kWrapped;
}
