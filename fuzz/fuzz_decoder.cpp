// libFuzzer target: bytes from a stick through the frame decoder (whole, a
// byte at a time, and in splits taken from the input, the frame bound passing
// after some) and through AntLibrary's dispatch with callbacks that read their
// buffers and act on the stick mid-batch.
// Build with -DPULVANE_BUILD_FUZZ=ON and clang; run with scripts/fuzz.sh.
#include "stickbytesharness.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

namespace {

// The library warns on standard error when a stick goes away; at millions of
// runs a second that is only noise.
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static int appArgc = *argc;
    static QCoreApplication app(appArgc, *argv);
    qInstallMessageHandler(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString failure = pulvane::test::replayStickBytes(bytes);
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(failure));
        std::abort();
    }
    return 0;
}
