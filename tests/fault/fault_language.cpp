// Failure paths of the conversions: each opens one converter, makes one iconv call
// and closes the converter whatever happened, and leaves the destination as its entry
// point promises; a reusable converter leaves nothing behind when it cannot be opened.
#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/mman.h>

#include <cstring>
#include <string>
#include <tuple>

#include "fault_injection.h"
#include "os/os.h"
#include "test_support.h"

FI_WRAP(iconv_t, iconv_open, reinterpret_cast<iconv_t>(-1), (const char* to, const char* from),
        (to, from))
FI_WRAP(size_t, iconv, static_cast<size_t>(-1),
        (iconv_t cd, char** in, size_t* inleft, char** out, size_t* outleft),
        (cd, in, inleft, out, outleft))
FI_WRAP(void*, mmap, MAP_FAILED, (void* addr, size_t len, int prot, int flags, int fd, off_t off),
        (addr, len, prot, flags, fd, off))
FI_WRAP(int, munmap, -1, (void* addr, size_t len), (addr, len))

// An armed iconv_close still closes (nothing leaks), then fails.
FI_WRAP_AFTER(int, iconv_close, -1, (iconv_t cd), (cd))

namespace {

constexpr char kFill = 'x';
const std::string kUntouched(16, kFill), kZeroed = std::string(8, '\0') + std::string(8, kFill);

using Conv = int32 (*)(char* buf);
const Conv kCodeConvert = [](char* b) { return code_convert("utf8", "gbk", "ab", 2, b, 8); };
const Conv kAnsi = [](char* b) {
    return os_lang_conv_unicode_to_given(ZU_OS_CHARSET_ANSI, "a", b, 8);
};
const Conv kToSys = [](char* b) { return os_lang_conv_utf8_to_sys("ab", b, 8); };
const Conv kFromSys = [](char* b) { return os_lang_conv_sys_to_utf8("ab", b, 8); };

// code_convert and the selector pair leave a buffer they did not reach untouched; the
// LANG pair has cleared it first.
TEST(LangFault, ConverterFailuresCloseWhatWasOpened) {
    zutest::ScopedEnv lang("LANG", "zh_CN.GBK");
    // The failing call and its errno, the entry point, its result and the buffer left.
    const std::tuple<fi::Point&, int, Conv, int32, const std::string&> cases[] = {
        {fi_iconv_open, EINVAL, kCodeConvert, OS_ERR_CONV_OPEN, kUntouched},
        {fi_iconv_open, EINVAL, kToSys, OS_ERR_CONV_OPEN, kZeroed},
        {fi_iconv, EILSEQ, kCodeConvert, OS_ERR_CONV_FAILED, kUntouched},  // no terminator
        {fi_iconv, E2BIG, kFromSys, OS_ERR_CONV_FAILED, kZeroed},
        {fi_iconv, 0, kAnsi, OS_OK, kUntouched},  // armed far away only to count calls
    };
    for (const auto& [point, err, fn, rc, left] : cases) {
        char buf[16];
        std::memset(buf, kFill, sizeof buf);
        fi::Armed closes(fi_iconv_close, 1000, 0);  // armed far away only to count calls
        fi::Armed a(point, rc == OS_OK ? 1000 : 1, err);
        EXPECT_EQ(fn(buf), rc) << err;
        if (rc != OS_OK) {
            EXPECT_EQ(std::string(buf, sizeof buf), left) << err;
        } else {
            EXPECT_EQ(a.calls(), 1);  // no flush call after the one conversion
        }
        EXPECT_EQ(closes.calls(), &point == &fi_iconv_open ? 0 : 1) << err;
    }
}

// A reusable converter opens nothing when its record cannot be allocated, frees what
// it made when the pair cannot be opened or its tables mapped, and on close closes its
// one descriptor, reporting that close's failure, and unmaps its tables.
TEST(LangFault, ConverterOpenFailuresLeaveNothingBehind) {
    LangConvHandle h = reinterpret_cast<LangConvHandle>(&h);
    {
        fi::Armed count_opens(fi_iconv_open, 1000, 0);
        fi::Armed a(fi_malloc, 1, ENOMEM);
        EXPECT_EQ(os_lang_converter_open("utf8", "gbk", &h), OS_ERR_NO_MEMORY);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(count_opens.calls(), 0);
    }
    {
        // The tables of a GB/UTF-8 pair cannot be mapped: the descriptor is closed too.
        fi::Armed closes(fi_iconv_close, 1000, 0);
        fi::Armed a(fi_mmap, 1, ENOMEM);
        EXPECT_EQ(os_lang_converter_open("gbk", "utf8", &h), OS_ERR_NO_MEMORY);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(closes.calls(), 1);
    }
    {
        fi::Armed a(fi_iconv_open, 1, EINVAL);
        EXPECT_EQ(os_lang_converter_open_given(ZU_OS_CHARSET_ANSI, ZU_OS_CHARSET_UNICODE, &h),
                  OS_ERR_CONV_OPEN);
        EXPECT_EQ(h, nullptr);
    }
    ASSERT_EQ(os_lang_converter_open("utf8", "gbk", &h), OS_OK);
    fi::Armed count_unmaps(fi_munmap, 1000, 0);
    // The descriptor's failure to close is the result; the record is freed all the same
    // (LeakSanitizer checks at exit).
    fi::Armed closes(fi_iconv_close, 1, EBADF);
    EXPECT_EQ(os_lang_converter_close(h), EBADF);
    EXPECT_EQ(closes.calls(), 1);
    EXPECT_EQ(count_unmaps.calls(), 1) << "the tables are unmapped";
}

}  // namespace
