// Reading an image file for an update: only a regular file or a resource,
// never more than the buffer holds, and never a wait on a pipe or a device.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "imagefile.h"

namespace {

const int k_capacity = 64;

enum Kind { kBytes, kMissing, kDirectory, kFifo, kDevice, kResource };

struct LoadCase {
    const char *name;
    Kind kind;
    int length;          // kBytes: the file's length
    bool loads;
    const char *why;     // how the reason starts
};

class LoadImageFile : public testing::TestWithParam<LoadCase> {};

TEST_P(LoadImageFile, ReadsWholeRegularFilesThatFit)
{
    const LoadCase &c = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QString path = dir.filePath(QStringLiteral("image.bin"));
    QByteArray content;
    for (int i = 0; i < c.length; ++i)
        content.append(char(i * 7 + 1));
    switch (c.kind) {
    case kBytes: {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(content), content.size());
        break;
    }
    case kMissing:
        break;
    case kDirectory:
        ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("image.bin")));
        break;
    case kFifo:
#ifdef _WIN32
        GTEST_SKIP() << "no named pipes in the file system";
#else
        ASSERT_EQ(0, mkfifo(QFile::encodeName(path).constData(), 0600));
#endif
        break;
    case kDevice:
#ifdef _WIN32
        GTEST_SKIP() << "no device nodes";
#else
        path = QStringLiteral("/dev/zero");
#endif
        break;
    case kResource:
        path = QStringLiteral(":/res/update.bin");
        break;
    }

    std::vector<uint8_t> buffer(k_capacity + 8, 0xEE);
    int size = -1;
    QString why = QStringLiteral("unchanged");
    const bool loaded = load_image_file(path, buffer.data(), k_capacity, &size, &why);
    EXPECT_EQ(c.loads, loaded) << why.toStdString();
    if (c.loads) {
        EXPECT_EQ(c.length, size);
        EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(buffer.data()), size), content);
    } else {
        EXPECT_EQ(0, size);
        EXPECT_TRUE(why.startsWith(QLatin1String(c.why))) << why.toStdString();
    }
    // Nothing past the capacity is ever written.
    for (int i = k_capacity; i < int(buffer.size()); ++i)
        EXPECT_EQ(0xEE, buffer[size_t(i)]) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Files, LoadImageFile,
    testing::Values(LoadCase{ "exactly_the_capacity", kBytes, k_capacity, true, "" },
                    LoadCase{ "smaller", kBytes, 40, true, "" },
                    LoadCase{ "empty", kBytes, 0, true, "" },
                    LoadCase{ "one_byte_too_many", kBytes, k_capacity + 1, false,
                              "larger than an image can be (64 bytes)" },
                    LoadCase{ "missing", kMissing, 0, false, "cannot be read" },
                    LoadCase{ "directory", kDirectory, 0, false, "not a regular file" },
                    LoadCase{ "named_pipe_without_writer", kFifo, 0, false, "not a regular file" },
                    LoadCase{ "endless_device", kDevice, 0, false, "not a regular file" },
                    // The embedded image is 268320 bytes, far beyond this buffer.
                    LoadCase{ "resource_too_large", kResource, 0, false,
                              "larger than an image can be" }),
    [](const testing::TestParamInfo<LoadCase> &info) { return info.param.name; });

TEST(LoadImageFileResources, TheEmbeddedImageIsReadThroughQt)
{
    std::vector<uint8_t> buffer(1048576);
    int size = 0;
    QString why;
    ASSERT_TRUE(load_image_file(QStringLiteral(":/res/update.bin"), buffer.data(), int(buffer.size()),
                                &size, &why))
        << why.toStdString();
    QFile f(QStringLiteral(":/res/update.bin"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray expected = f.readAll();
    EXPECT_EQ(expected.size(), size);
    EXPECT_EQ(expected, QByteArray(reinterpret_cast<const char *>(buffer.data()), size));
    EXPECT_FALSE(load_image_file(QStringLiteral(":/res/none.bin"), buffer.data(), int(buffer.size()),
                                 &size, &why));
    EXPECT_TRUE(why.startsWith(QLatin1String("cannot be read")));
}

} // namespace
