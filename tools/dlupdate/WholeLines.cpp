#include "tools/dlupdate/WholeLines.h"

#include <cerrno>
#include <unistd.h>

namespace dlcli {

std::streambuf::int_type WholeLineBuf::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    xsputn(&ch, 1);
    return c;
}

std::streamsize WholeLineBuf::xsputn(const char *s, std::streamsize n)
{
    std::lock_guard lock(mutex_);
    pending_.append(s, static_cast<std::size_t>(n));
    const std::size_t lf = pending_.rfind('\n');
    if (lf != std::string::npos)
        writeOut(lf + 1);
    return n;
}

int WholeLineBuf::sync()
{
    std::lock_guard lock(mutex_);
    writeOut(pending_.size());
    return 0;
}

void WholeLineBuf::writeOut(std::size_t n)
{
    std::size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(fd_, pending_.data() + done, n - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break; // a closed standard error loses the text, as it would
        done += static_cast<std::size_t>(w);
    }
    pending_.erase(0, n);
}

WholeLines::WholeLines(std::ostream &stream, int fd)
    : stream_(stream), buf_(fd), old_(stream.rdbuf(&buf_)), flags_(stream.flags())
{
    // Flushing after every piece would split the line again.
    stream_.unsetf(std::ios::unitbuf);
}

WholeLines::~WholeLines()
{
    stream_.flush();
    stream_.rdbuf(old_);
    stream_.flags(flags_);
}

} // namespace dlcli
