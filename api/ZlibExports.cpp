// zlib's public functions under the z_ prefix: a host that builds with Z_PREFIX defined before
// it includes <zlib.h> gets these names from zlib's own header (zconf.h renames every function
// and type to z_...), and with them the zlib that libstrevo.so carries, with no zlib of its own
// to link. Each forwards to the function of the same name without the prefix.

#include "base/StrevoExport.h"

#include <zlib.h>

#include <cstdarg>

#define Z_EXPORT extern "C" STREVO_EXPORT

// Basic and advanced stream functions.
Z_EXPORT const char* z_zlibVersion()
{
    return zlibVersion();
}
Z_EXPORT int z_deflate(z_streamp strm, int flush)
{
    return deflate(strm, flush);
}
Z_EXPORT int z_deflateEnd(z_streamp strm)
{
    return deflateEnd(strm);
}
Z_EXPORT int z_inflate(z_streamp strm, int flush)
{
    return inflate(strm, flush);
}
Z_EXPORT int z_inflateEnd(z_streamp strm)
{
    return inflateEnd(strm);
}
Z_EXPORT int z_deflateInit_(z_streamp strm, int level, const char* version, int size)
{
    return deflateInit_(strm, level, version, size);
}
Z_EXPORT int z_inflateInit_(z_streamp strm, const char* version, int size)
{
    return inflateInit_(strm, version, size);
}
Z_EXPORT int z_deflateInit2_(z_streamp strm, int level, int method, int windowBits, int memLevel,
                             int strategy, const char* version, int size)
{
    return deflateInit2_(strm, level, method, windowBits, memLevel, strategy, version, size);
}
Z_EXPORT int z_inflateInit2_(z_streamp strm, int windowBits, const char* version, int size)
{
    return inflateInit2_(strm, windowBits, version, size);
}
Z_EXPORT int z_inflateBackInit_(z_streamp strm, int windowBits, unsigned char* window,
                                const char* version, int size)
{
    return inflateBackInit_(strm, windowBits, window, version, size);
}
Z_EXPORT int z_deflateSetDictionary(z_streamp strm, const Bytef* dictionary, uInt length)
{
    return deflateSetDictionary(strm, dictionary, length);
}
Z_EXPORT int z_deflateGetDictionary(z_streamp strm, Bytef* dictionary, uInt* length)
{
    return deflateGetDictionary(strm, dictionary, length);
}
Z_EXPORT int z_deflateCopy(z_streamp dest, z_streamp source)
{
    return deflateCopy(dest, source);
}
Z_EXPORT int z_deflateReset(z_streamp strm)
{
    return deflateReset(strm);
}
Z_EXPORT int z_deflateResetKeep(z_streamp strm)
{
    return deflateResetKeep(strm);
}
Z_EXPORT int z_deflateParams(z_streamp strm, int level, int strategy)
{
    return deflateParams(strm, level, strategy);
}
Z_EXPORT int z_deflateTune(z_streamp strm, int goodLength, int maxLazy, int niceLength,
                           int maxChain)
{
    return deflateTune(strm, goodLength, maxLazy, niceLength, maxChain);
}
Z_EXPORT uLong z_deflateBound(z_streamp strm, uLong sourceLength)
{
    return deflateBound(strm, sourceLength);
}
Z_EXPORT int z_deflatePending(z_streamp strm, unsigned* pending, int* bits)
{
    return deflatePending(strm, pending, bits);
}
Z_EXPORT int z_deflatePrime(z_streamp strm, int bits, int value)
{
    return deflatePrime(strm, bits, value);
}
Z_EXPORT int z_deflateSetHeader(z_streamp strm, gz_headerp head)
{
    return deflateSetHeader(strm, head);
}
Z_EXPORT int z_inflateSetDictionary(z_streamp strm, const Bytef* dictionary, uInt length)
{
    return inflateSetDictionary(strm, dictionary, length);
}
Z_EXPORT int z_inflateGetDictionary(z_streamp strm, Bytef* dictionary, uInt* length)
{
    return inflateGetDictionary(strm, dictionary, length);
}
Z_EXPORT int z_inflateSync(z_streamp strm)
{
    return inflateSync(strm);
}
Z_EXPORT int z_inflateSyncPoint(z_streamp strm)
{
    return inflateSyncPoint(strm);
}
Z_EXPORT int z_inflateCopy(z_streamp dest, z_streamp source)
{
    return inflateCopy(dest, source);
}
Z_EXPORT int z_inflateReset(z_streamp strm)
{
    return inflateReset(strm);
}
Z_EXPORT int z_inflateResetKeep(z_streamp strm)
{
    return inflateResetKeep(strm);
}
Z_EXPORT int z_inflateReset2(z_streamp strm, int windowBits)
{
    return inflateReset2(strm, windowBits);
}
Z_EXPORT int z_inflatePrime(z_streamp strm, int bits, int value)
{
    return inflatePrime(strm, bits, value);
}
Z_EXPORT long z_inflateMark(z_streamp strm)
{
    return inflateMark(strm);
}
Z_EXPORT int z_inflateGetHeader(z_streamp strm, gz_headerp head)
{
    return inflateGetHeader(strm, head);
}
Z_EXPORT int z_inflateBack(z_streamp strm, in_func in, void* inDescriptor, out_func out,
                           void* outDescriptor)
{
    return inflateBack(strm, in, inDescriptor, out, outDescriptor);
}
Z_EXPORT int z_inflateBackEnd(z_streamp strm)
{
    return inflateBackEnd(strm);
}
Z_EXPORT int z_inflateUndermine(z_streamp strm, int subvert)
{
    return inflateUndermine(strm, subvert);
}
Z_EXPORT int z_inflateValidate(z_streamp strm, int check)
{
    return inflateValidate(strm, check);
}
Z_EXPORT unsigned long z_inflateCodesUsed(z_streamp strm)
{
    return inflateCodesUsed(strm);
}
Z_EXPORT uLong z_zlibCompileFlags()
{
    return zlibCompileFlags();
}
Z_EXPORT const char* z_zError(int error)
{
    return zError(error);
}

// One-call compression.
Z_EXPORT int z_compress(Bytef* dest, uLongf* destLength, const Bytef* source, uLong sourceLength)
{
    return compress(dest, destLength, source, sourceLength);
}
Z_EXPORT int z_compress2(Bytef* dest, uLongf* destLength, const Bytef* source, uLong sourceLength,
                         int level)
{
    return compress2(dest, destLength, source, sourceLength, level);
}
Z_EXPORT uLong z_compressBound(uLong sourceLength)
{
    return compressBound(sourceLength);
}
Z_EXPORT int z_uncompress(Bytef* dest, uLongf* destLength, const Bytef* source, uLong sourceLength)
{
    return uncompress(dest, destLength, source, sourceLength);
}
Z_EXPORT int z_uncompress2(Bytef* dest, uLongf* destLength, const Bytef* source,
                           uLong* sourceLength)
{
    return uncompress2(dest, destLength, source, sourceLength);
}

// Checksums.
Z_EXPORT uLong z_adler32(uLong adler, const Bytef* buffer, uInt length)
{
    return adler32(adler, buffer, length);
}
Z_EXPORT uLong z_adler32_z(uLong adler, const Bytef* buffer, z_size_t length)
{
    return adler32_z(adler, buffer, length);
}
Z_EXPORT uLong z_adler32_combine(uLong first, uLong second, z_off_t secondLength)
{
    return adler32_combine(first, second, secondLength);
}
Z_EXPORT uLong z_crc32(uLong crc, const Bytef* buffer, uInt length)
{
    return crc32(crc, buffer, length);
}
Z_EXPORT uLong z_crc32_z(uLong crc, const Bytef* buffer, z_size_t length)
{
    return crc32_z(crc, buffer, length);
}
Z_EXPORT uLong z_crc32_combine(uLong first, uLong second, z_off_t secondLength)
{
    return crc32_combine(first, second, secondLength);
}
Z_EXPORT uLong z_crc32_combine_gen(z_off_t length)
{
    return crc32_combine_gen(length);
}
Z_EXPORT uLong z_crc32_combine_op(uLong first, uLong second, uLong op)
{
    return crc32_combine_op(first, second, op);
}
Z_EXPORT const z_crc_t* z_get_crc_table()
{
    return get_crc_table();
}

// gzip files.
Z_EXPORT gzFile z_gzopen(const char* path, const char* mode)
{
    return gzopen(path, mode);
}
Z_EXPORT gzFile z_gzdopen(int fd, const char* mode)
{
    return gzdopen(fd, mode);
}
Z_EXPORT int z_gzbuffer(gzFile file, unsigned size)
{
    return gzbuffer(file, size);
}
Z_EXPORT int z_gzsetparams(gzFile file, int level, int strategy)
{
    return gzsetparams(file, level, strategy);
}
Z_EXPORT int z_gzread(gzFile file, voidp buffer, unsigned length)
{
    return gzread(file, buffer, length);
}
Z_EXPORT z_size_t z_gzfread(voidp buffer, z_size_t size, z_size_t items, gzFile file)
{
    return gzfread(buffer, size, items, file);
}
Z_EXPORT int z_gzwrite(gzFile file, voidpc buffer, unsigned length)
{
    return gzwrite(file, buffer, length);
}
Z_EXPORT z_size_t z_gzfwrite(voidpc buffer, z_size_t size, z_size_t items, gzFile file)
{
    return gzfwrite(buffer, size, items, file);
}
Z_EXPORT int z_gzvprintf(gzFile file, const char* format, va_list arguments)
{
    return gzvprintf(file, format, arguments);
}
Z_EXPORT int z_gzprintf(gzFile file, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int written = gzvprintf(file, format, arguments);
    va_end(arguments);
    return written;
}
Z_EXPORT int z_gzputs(gzFile file, const char* text)
{
    return gzputs(file, text);
}
Z_EXPORT char* z_gzgets(gzFile file, char* buffer, int length)
{
    return gzgets(file, buffer, length);
}
Z_EXPORT int z_gzputc(gzFile file, int c)
{
    return gzputc(file, c);
}
Z_EXPORT int z_gzgetc(gzFile file)
{
    return (gzgetc)(file);
}
Z_EXPORT int z_gzgetc_(gzFile file)
{
    return gzgetc_(file);
}
Z_EXPORT int z_gzungetc(int c, gzFile file)
{
    return gzungetc(c, file);
}
Z_EXPORT int z_gzflush(gzFile file, int flush)
{
    return gzflush(file, flush);
}
Z_EXPORT z_off_t z_gzseek(gzFile file, z_off_t offset, int whence)
{
    return gzseek(file, offset, whence);
}
Z_EXPORT int z_gzrewind(gzFile file)
{
    return gzrewind(file);
}
Z_EXPORT z_off_t z_gztell(gzFile file)
{
    return gztell(file);
}
Z_EXPORT z_off_t z_gzoffset(gzFile file)
{
    return gzoffset(file);
}
Z_EXPORT int z_gzeof(gzFile file)
{
    return gzeof(file);
}
Z_EXPORT int z_gzdirect(gzFile file)
{
    return gzdirect(file);
}
Z_EXPORT int z_gzclose(gzFile file)
{
    return gzclose(file);
}
Z_EXPORT int z_gzclose_r(gzFile file)
{
    return gzclose_r(file);
}
Z_EXPORT int z_gzclose_w(gzFile file)
{
    return gzclose_w(file);
}
Z_EXPORT const char* z_gzerror(gzFile file, int* error)
{
    return gzerror(file, error);
}
Z_EXPORT void z_gzclearerr(gzFile file)
{
    gzclearerr(file);
}

#ifdef Z_LARGE64
// The 64-bit offset forms, which zlib's header picks for a host built with
// _FILE_OFFSET_BITS=64.
Z_EXPORT gzFile z_gzopen64(const char* path, const char* mode)
{
    return gzopen64(path, mode);
}
Z_EXPORT z_off64_t z_gzseek64(gzFile file, z_off64_t offset, int whence)
{
    return gzseek64(file, offset, whence);
}
Z_EXPORT z_off64_t z_gztell64(gzFile file)
{
    return gztell64(file);
}
Z_EXPORT z_off64_t z_gzoffset64(gzFile file)
{
    return gzoffset64(file);
}
Z_EXPORT uLong z_adler32_combine64(uLong first, uLong second, z_off64_t secondLength)
{
    return adler32_combine64(first, second, secondLength);
}
Z_EXPORT uLong z_crc32_combine64(uLong first, uLong second, z_off64_t secondLength)
{
    return crc32_combine64(first, second, secondLength);
}
Z_EXPORT uLong z_crc32_combine_gen64(z_off64_t length)
{
    return crc32_combine_gen64(length);
}
#endif
