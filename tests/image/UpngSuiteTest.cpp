// Every file of PngSuite through the decoder: the refusals follow the
// decoder's rules, and each accepted file's pixels equal libpng's.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "image/PngFiles.h"
#include "image/Upng.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

fs::path suiteDir()
{
    return fs::path(__FILE__).parent_path().parent_path() / "data" / "pngsuite";
}

// The expected error, from PngSuite's naming: the fourth letter tells
// interlacing, the fifth the colour type, the last two the bit depth.
upng_error expectedError(const std::string& name)
{
    static const std::map<std::string, upng_error> mSpecial = {
        {"xcsn0g01", UPNG_OK},        {"xhdn0g08", UPNG_OK},        // bad CRCs
        {"pp0n2c16", UPNG_UNKNOWN_CRITICAL}, {"pp0n6a08", UPNG_UNKNOWN_CRITICAL}, // PLTE
        {"xdtn0g01", UPNG_MALFORMED}, // no IDAT
        {"xcrn0g04", UPNG_NOT_PNG},   {"xlfn0g04", UPNG_NOT_PNG}, // mangled signature
        {"xc1n0g08", UPNG_UNSUPPORTED_FORMAT}, {"xc9n2c08", UPNG_UNSUPPORTED_FORMAT},
        {"xd0n2c08", UPNG_UNSUPPORTED_FORMAT}, {"xd3n2c08", UPNG_UNSUPPORTED_FORMAT},
        {"xd9n2c08", UPNG_UNSUPPORTED_FORMAT},
    };
    const auto special = mSpecial.find(name);
    if (special != mSpecial.end()) {
        return special->second;
    }
    if (name.compare(0, 2, "xs") == 0) {
        return UPNG_NOT_PNG;
    }
    const char colorType = name[4];
    const bool sixteenBits = name.compare(6, 2, "16") == 0;
    if (colorType == '3' || (sixteenBits && (colorType == '0' || colorType == '4'))) {
        return UPNG_UNSUPPORTED_FORMAT;
    }
    return name[3] == 'i' ? UPNG_INTERLACED : UPNG_OK;
}

TEST(UpngSuite, EveryFileDecodesLikeLibpngOrIsRefusedByItsRule)
{
    std::map<upng_error, int> expectedTally;
    for (const fs::directory_entry& entry : fs::directory_iterator(suiteDir())) {
        if (entry.path().extension() != ".png") {
            continue;
        }
        const std::string name = entry.path().stem().string();
        upng_decoder* upng = upng_new_from_file(entry.path().c_str());
        ASSERT_NE(upng, nullptr);
        const upng_error error = upng_decode(upng);
        ++expectedTally[expectedError(name)];
        EXPECT_EQ(error, expectedError(name)) << name << " line " << upng_get_error_line(upng);
        if (error == UPNG_OK) {
            const ReferenceImage reference = decodeWithLibpng(readFile(entry.path().string()));
            ASSERT_TRUE(reference.ok) << name;
            EXPECT_EQ(upng_get_width(upng), reference.width) << name;
            EXPECT_EQ(upng_get_height(upng), reference.height) << name;
            EXPECT_EQ(upng_get_bpp(upng), reference.bitsPerPixel) << name;
            const Bytes expected = packRows(reference.rows, uint64_t(reference.width) * reference.bitsPerPixel);
            EXPECT_EQ(decodedPixels(upng), expected) << name;
        }
        upng_free(upng);
    }
    // Guards against a suite that went missing or a rule that never fires.
    for (upng_error error : {UPNG_OK, UPNG_NOT_PNG, UPNG_MALFORMED, UPNG_UNKNOWN_CRITICAL,
                             UPNG_INTERLACED, UPNG_UNSUPPORTED_FORMAT}) {
        EXPECT_GT(expectedTally[error], 0) << "no file expected to give " << error;
    }
}

} // namespace
