// strevo-gpu-check: what this machine's GPUs can do for the library, one line per check.
//
//   ok    <check>: <what was found>
//   FAIL  <check>: <why>
//   skip  <check>: <why it does not apply here>
//
// The render nodes with each VA-API encoder at both entry points, the CUDA driver and device, the
// CUDA module the NVENC input path loads (through the real driver), and an NVENC session on the
// first device. Exits 0 when nothing failed (a machine without a GPU only skips), 1 otherwise.
// scripts/gpu-check.sh runs it and then encodes with every hardware codec the catalogue lists.

#include "codec/video/nvenc/CNvHWEncoder.h"
#include "platform/CudaDriver.h"
#include "platform/mf/MFLibavEncoder.h"
#include "platform/mf/RenderNodeProbe.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <cstdio>

namespace {

int g_failures = 0;
QString g_lastWarning; // the last warning the library logged (main thread only)

void keepWarnings(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type >= QtWarningMsg)
        g_lastWarning = message;
}

void report(const char* verdict, const QString& check, const QString& detail)
{
    std::printf("%-5s %s: %s\n", verdict, qPrintable(check), qPrintable(detail));
    std::fflush(stdout);
    if (qstrcmp(verdict, "FAIL") == 0)
        ++g_failures;
}

// Why the last library call failed, as it said.
QString lastWarning(const QString& otherwise)
{
    return g_lastWarning.isEmpty() ? otherwise : g_lastWarning;
}

void checkRenderNodes()
{
    const auto nodes = RenderNodeProbe::listNodes();
    if (nodes.empty()) {
        report("skip", QStringLiteral("VA-API"),
               QStringLiteral("no GPU: no render node under /dev/dri that this user may open"));
        return;
    }
    for (const auto& node : nodes) {
        const QString where = QString::fromLatin1(node.path);
        report("ok", QStringLiteral("render node %1").arg(where),
               node.vendorName() + QLatin1Char(' ') + node.driver);
        for (const bool hevc : {false, true}) {
            const char* encoder = hevc ? "hevc_vaapi" : "h264_vaapi";
            for (const bool low : {false, true}) {
                g_lastWarning.clear();
                const bool opens = MFLibavEncoder::canOpen(encoder, hevc, node.path, low);
                // Refusals are facts about the GPU, not failures: most GPUs have one entry point.
                report(opens ? "ok" : "skip",
                       QStringLiteral("%1 %2 %3")
                           .arg(where, QLatin1String(encoder),
                                low ? QStringLiteral("low power") : QStringLiteral("full power")),
                       opens ? QStringLiteral("opens") : lastWarning(QStringLiteral("refused")));
            }
        }
    }
}

// The CUDA module the library carries, through the real driver: loaded, with the entry points
// the input path uses.
bool checkModule(CUcontext context)
{
    QFile file(QStringLiteral(":/resources/preproc64_lowlat.ptx"));
    if (!file.open(QIODevice::ReadOnly)) {
        report("FAIL", QStringLiteral("CUDA module"), file.fileName() + QStringLiteral(" missing"));
        return false;
    }
    const QByteArray ptx = file.readAll() + '\0';
    const CudaDriver& cu = cudaDriver();
    CudaContextScope scope(context);
    CUmodule module = nullptr;
    char log[2048] = {};
    CUjit_option options[] = {CU_JIT_ERROR_LOG_BUFFER_SIZE_BYTES, CU_JIT_ERROR_LOG_BUFFER};
    void* values[] = {reinterpret_cast<void*>(static_cast<uintptr_t>(sizeof(log))), log};
    const CUresult r = cu.cuModuleLoadDataEx(&module, ptx.constData(), 2, options, values);
    if (r != CUDA_SUCCESS) {
        report("FAIL", QStringLiteral("CUDA module"),
               QStringLiteral("cuModuleLoadDataEx returned %1: %2").arg(r).arg(log));
        return false;
    }
    QStringList missing;
    for (const char* name : {"InterleaveUV", "Scale_Bilinear_NV12"}) {
        CUfunction fn = nullptr;
        if (cu.cuModuleGetFunction(&fn, module, name) != CUDA_SUCCESS)
            missing << QLatin1String(name);
    }
    cu.cuModuleUnload(module);
    if (!missing.isEmpty())
        report("FAIL", QStringLiteral("CUDA module"),
               QStringLiteral("lacks ") + missing.join(QStringLiteral(", ")));
    else
        report("ok", QStringLiteral("CUDA module"), QStringLiteral("loads, entry points found"));
    return missing.isEmpty();
}

void checkNvenc()
{
    const CUresult loaded = loadCudaDriver(0, 4000);
    if (loaded == kCudaDriverMissing) {
        report("skip", QStringLiteral("CUDA"),
               QStringLiteral("no NVIDIA GPU: the NVIDIA driver (libcuda.so.1) is not installed"));
        return;
    }
    if (loaded != CUDA_SUCCESS) {
        report("FAIL", QStringLiteral("CUDA"),
               QStringLiteral("the driver does not start (%1)").arg(loaded));
        return;
    }
    int version = 0;
    if (cudaDriver().cuDriverGetVersion)
        cudaDriver().cuDriverGetVersion(&version);
    g_lastWarning.clear();
    CUcontext context = nullptr;
    if (createCudaEncodeContext(0, &context) != 0) {
        report("FAIL", QStringLiteral("CUDA device"), lastWarning(QStringLiteral("no context")));
        return;
    }
    report("ok", QStringLiteral("CUDA device"),
           QStringLiteral("%1, CUDA %2.%3")
               .arg(QString::fromStdString(cudaContextDeviceName(context)))
               .arg(version / 1000)
               .arg(version % 1000 / 10));
    checkModule(context);
    {
        g_lastWarning.clear();
        CNvHWEncoder session;
        if (session.openSession(context, NV_ENC_DEVICE_TYPE_CUDA) == NV_ENC_SUCCESS) {
            report("ok", QStringLiteral("NVENC session"), QStringLiteral("opens"));
            session.destroyEncoder();
        } else {
            // A GPU without an encoder engine (a data-centre GPU) is a fact, not a failure.
            const QString why = lastWarning(QStringLiteral("refused"));
            report(why.contains(QStringLiteral("no NVENC engine")) ? "skip" : "FAIL",
                   QStringLiteral("NVENC session"), why);
        }
    }
    cudaDriver().cuCtxDestroy(context);
}

} // namespace

int main()
{
    Q_INIT_RESOURCE(nvenc); // the library's CUDA module, embedded in its codec layer
    qInstallMessageHandler(keepWarnings);
    checkRenderNodes();
    checkNvenc();
    return g_failures == 0 ? 0 : 1;
}
