// Qx::Variant conversions, setters and the VariantBlob codec. Pure logic: the
// same source runs natively under the sanitizers and, cross-compiled, under
// Wine, where the i686 floating-point code generation is what ships.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "registry/variant.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

template <typename T>
Bytes BytesOf(T v) {
    Bytes b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

void Load(Qx::Variant& v, std::int32_t kind, const Bytes& b) {
    v.SetValue(kind, b.data(), static_cast<std::uint32_t>(b.size()));
}

Bytes DataOf(const Qx::Variant& v) {
    std::uint32_t n = 0;
    const std::uint8_t* p = v.GetData(n);
    return p ? Bytes(p, p + n) : Bytes{};
}

Bytes Encode(const Qx::Variant& v) {
    Bytes out(64 + v.Size());
    const Qx::Result r = Qx::EncodeVariantBlob(v, out.data(), static_cast<std::uint32_t>(out.size()));
    if (r < 0) return {};
    out.resize(static_cast<std::size_t>(r));
    return out;
}

// Every conversion of one value.
struct ConversionCase {
    const char* name;
    std::int32_t kind;
    Bytes data;
    bool asBool;
    std::int32_t asInt32;
    std::int64_t asInt64;
    float asFloat;
    double asDouble;
};

void PrintTo(const ConversionCase& c, std::ostream* os) { *os << c.name; }

const std::int32_t kInt32Min = std::numeric_limits<std::int32_t>::min();

const ConversionCase kConversions[] = {
    {"empty", Qx::Empty, {}, false, 0, 0, 0.0f, 0.0},
    {"bool zero", Qx::Bool, {0x00}, false, 0, 0, 0.0f, 0.0},
    {"bool 0xFF is unsigned", Qx::Bool, {0xFF}, true, 255, 255, 255.0f, 255.0},
    {"int32 -1", Qx::Int32, BytesOf<std::int32_t>(-1), true, -1, -1, -1.0f, -1.0},
    {"int32 2^24+1 rounds to even as float", Qx::Int32, BytesOf<std::int32_t>(16777217), true,
     16777217, 16777217, 16777216.0f, 16777217.0},
    {"int64 2^32+5 keeps low bits", Qx::Int64, BytesOf<std::int64_t>(4294967301LL), true, 5,
     4294967301LL, 4294967296.0f, 4294967301.0},
    {"int64 2^32 is true with low bits 0", Qx::Int64, BytesOf<std::int64_t>(4294967296LL), true, 0,
     4294967296LL, 4294967296.0f, 4294967296.0},
    {"int64 2^53+1 rounds to even as double", Qx::Int64, BytesOf<std::int64_t>(9007199254740993LL),
     true, 1, 9007199254740993LL, 9007199254740992.0f, 9007199254740992.0},
    // Rounded straight to single precision; going through double first
    // would land on a tie and give 2^60.
    {"int64 2^60+2^36+1 rounds once to float", Qx::Int64,
     BytesOf<std::int64_t>(1152921573326323713LL), true, 1, 1152921573326323713LL,
     1152921642045800448.0f, 1152921573326323712.0},
    {"float 2.5 rounds away", Qx::Float, BytesOf(2.5f), true, 3, 3, 2.5f, 2.5},
    {"float -2.5 rounds away", Qx::Float, BytesOf(-2.5f), true, -3, -3, -2.5f, -2.5},
    {"float just below a half", Qx::Float, BytesOf(0.49999997f), true, 0, 1, 0.49999997f,
     static_cast<double>(0.49999997f)},
    {"float just above minus a half", Qx::Float, BytesOf(-0.49999997f), true, 0, -1, -0.49999997f,
     static_cast<double>(-0.49999997f)},
    {"float zero", Qx::Float, BytesOf(0.0f), false, 0, 0, 0.0f, 0.0},
    {"float 0.1 widens exactly", Qx::Float, BytesOf(0.1f), true, 0, 0, 0.1f,
     0.100000001490116119384765625},
    {"double -0.5", Qx::Double, BytesOf(-0.5), true, -1, -1, -0.5f, -0.5},
    {"double 0.5", Qx::Double, BytesOf(0.5), true, 1, 1, 0.5f, 0.5},
    {"double -0.0", Qx::Double, BytesOf(-0.0), false, 0, 0, -0.0f, -0.0},
    {"double just below a half sums to 1.0", Qx::Double, BytesOf(0.49999999999999994), true, 1, 1,
     0.5f, 0.49999999999999994},
    {"double 1e10 outside int32", Qx::Double, BytesOf(1e10), true, kInt32Min, 10000000000LL, 1e10f,
     1e10},
    {"double 0.1 to nearest float", Qx::Double, BytesOf(0.1), true, 0, 0, 0.1f, 0.1},
    {"bytes 01 00 00 00", Qx::Bytes, {1, 0, 0, 0}, true, 1, 1, 1.0f, 1.0},
    {"bytes nine FF-ish", Qx::Bytes, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, true,
     -1, -1, -1.0f, -1.0},
    {"bytes little-endian", Qx::Bytes, {0x78, 0x56, 0x34, 0x12, 0x02, 0, 0, 0}, true, 0x12345678,
     0x212345678LL, 305419896.0f, 8895354488.0},
    {"bytes shorter than 4 read as zero-padded", Qx::Bytes, {0x01, 0x02}, true, 0x0201, 0x0201,
     513.0f, 513.0},
    {"bytes empty", Qx::Bytes, {}, false, 0, 0, 0.0f, 0.0},
    {"kind 6 stored as bytes", 6, {0x05, 0, 0, 0, 0}, true, 5, 5, 5.0f, 5.0},
    {"string of three letters", Qx::String, {'a', 'b', 'c', 0}, true, 3, 3, 3.0f, 3.0},
    {"empty string", Qx::String, {0}, false, 0, 0, 0.0f, 0.0},
    {"opaque never converts", Qx::Opaque, {1, 2, 3, 4, 5, 6, 7, 8}, true, 0, 0, 0.0f, 0.0},
};

class Conversion : public testing::TestWithParam<ConversionCase> {};

TEST_P(Conversion, AllFiveConversions) {
    const ConversionCase& c = GetParam();
    Qx::Variant v;
    Load(v, c.kind, c.data);
    EXPECT_EQ(v.ToBool(), c.asBool);
    EXPECT_EQ(v.ToInt32(), c.asInt32);
    EXPECT_EQ(v.ToInt64(), c.asInt64);
    // Bit-exact: nearest-even rounding and the sign of zero both matter.
    EXPECT_EQ(BytesOf(v.ToFloat()), BytesOf(c.asFloat)) << v.ToFloat() << " vs " << c.asFloat;
    EXPECT_EQ(BytesOf(v.ToDouble()), BytesOf(c.asDouble)) << v.ToDouble() << " vs " << c.asDouble;
}

INSTANTIATE_TEST_SUITE_P(Kinds, Conversion, testing::ValuesIn(kConversions),
                         [](const testing::TestParamInfo<ConversionCase>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

TEST(Conversion, NanAndInfinityAreTrueAndConvertToTheLowestInteger) {
    Qx::Variant v;
    for (const float f : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        Load(v, Qx::Float, BytesOf(f));
        EXPECT_TRUE(v.ToBool());
        EXPECT_EQ(v.ToInt32(), kInt32Min);
        EXPECT_EQ(v.ToInt64(), std::numeric_limits<std::int64_t>::min());
    }
    Load(v, Qx::Double, BytesOf(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_TRUE(v.ToBool());
    EXPECT_EQ(v.ToInt32(), kInt32Min);
    EXPECT_TRUE(std::isnan(v.ToFloat()));
}

// A derived value that overrides the integer conversions and the allocator.
class Instrumented : public Qx::Variant {
public:
    ~Instrumented() override { Clear(); }
    std::int32_t ToInt32() const override { return 42; }
    std::int64_t ToInt64() const override { return 43; }
    void* Allocate(std::uint32_t n) override {
        ++allocations;
        return Qx::Variant::Allocate(n);
    }
    void Free(void* p) override {
        ++frees;
        if (p == nullptr) ++nullFrees;
        Qx::Variant::Free(p);
    }
    int allocations = 0, frees = 0, nullFrees = 0;
};

TEST(Variant, FloatAndDoubleOfBufferKindsGoThroughTheVirtualIntegers) {
    for (const std::int32_t kind : {Qx::Bytes, Qx::String}) {
        Instrumented v;
        Load(v, kind, {'x', 0});
        EXPECT_EQ(v.ToFloat(), 42.0f);
        EXPECT_EQ(v.ToDouble(), 43.0);
    }
    Instrumented scalar;
    Load(scalar, Qx::Int32, BytesOf<std::int32_t>(7));
    EXPECT_EQ(scalar.ToFloat(), 7.0f);
}

TEST(Variant, BuffersUseTheHooksAndReleaseEvenANullBuffer) {
    Instrumented v;
    v.SetString("abc");
    EXPECT_EQ(v.allocations, 1);
    Load(v, Qx::Int32, BytesOf<std::int32_t>(1));  // releases the text
    EXPECT_EQ(v.frees, 1);
    v.Clear();  // scalar: nothing to release
    EXPECT_EQ(v.frees, 1);

    // The decoder's empty Opaque holds no buffer; the release rule still
    // calls Free, with null.
    const Bytes emptyOpaque = {12, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 0};
    ASSERT_EQ(Qx::DecodeVariantBlob(v, emptyOpaque.data(), 12), Qx::kOk);
    EXPECT_EQ(v.Kind(), Qx::Opaque);
    v.Clear();
    EXPECT_EQ(v.nullFrees, 1);
}

struct SetValueCase {
    const char* name;
    std::int32_t kind;
    Bytes data;
    std::uint32_t size;  // passed size, may differ from data.size()
    std::int32_t expectedKind;
    Bytes expectedData;
};

TEST(Variant, SetValueTable) {
    const Bytes four = {1, 2, 3, 4};
    const Bytes eight = {1, 2, 3, 4, 5, 6, 7, 8};
    const SetValueCase cases[] = {
        {"bool width 1", Qx::Bool, {7}, 1, Qx::Bool, {7}},
        {"bool width 2", Qx::Bool, {7, 0}, 2, Qx::Empty, {}},
        {"int32 width 4", Qx::Int32, four, 4, Qx::Int32, four},
        {"int32 width 3", Qx::Int32, four, 3, Qx::Empty, {}},
        {"float width 8", Qx::Float, eight, 8, Qx::Empty, {}},
        {"int64 width 8", Qx::Int64, eight, 8, Qx::Int64, eight},
        {"double width 4", Qx::Double, four, 4, Qx::Empty, {}},
        {"kind 6", 6, {9, 8, 7}, 3, Qx::Bytes, {9, 8, 7}},
        {"kind 7", 7, {9, 8, 7}, 3, Qx::Bytes, {9, 8, 7}},
        {"opaque", Qx::Opaque, four, 4, Qx::Opaque, four},
        {"text ignores size", Qx::String, {'a', 'b', 'c', 0}, 2, Qx::String, {'a', 'b', 'c', 0}},
        {"text stops at NUL", Qx::String, {'a', 0, 'c', 0}, 4, Qx::String, {'a', 0}},
        {"kind 0", Qx::Empty, four, 4, Qx::Empty, {}},
        {"kind 11", 11, four, 4, Qx::Empty, {}},
        {"negative kind", -1, four, 4, Qx::Empty, {}},
    };
    for (const auto& c : cases) {
        Qx::Variant v;
        v.SetString("previous");  // every SetValue starts from Clear
        EXPECT_EQ(v.SetValue(c.kind, c.data.data(), c.size), c.expectedKind) << c.name;
        EXPECT_EQ(v.Kind(), c.expectedKind) << c.name;
        EXPECT_EQ(DataOf(v), c.expectedData) << c.name;
        EXPECT_EQ(v.GetString() != nullptr, c.expectedKind == Qx::String) << c.name;
    }
}

TEST(Variant, ElementsCountScalarsAsOneAndOpaqueAsNone) {
    Qx::Variant v;
    std::uint32_t count = 99;
    EXPECT_EQ(v.GetElements(count), nullptr);
    EXPECT_EQ(count, 0u);
    Load(v, Qx::Double, BytesOf(1.5));
    EXPECT_NE(v.GetElements(count), nullptr);
    EXPECT_EQ(count, 1u);
    v.SetString("ab");
    EXPECT_EQ(v.GetElements(count), v.GetString());
    EXPECT_EQ(count, 3u);
    Load(v, Qx::Opaque, {1, 2});
    EXPECT_EQ(v.GetElements(count), nullptr);
    EXPECT_EQ(count, 0u);
}

// ---- VariantBlob -----------------------------------------------------------

Bytes Header(std::uint32_t total, std::uint32_t reserved, std::uint32_t kind) {
    Bytes b;
    for (std::uint32_t v : {total, reserved, kind})
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return b;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct DecodeCase {
    const char* name;
    Bytes blob;
    Qx::Result result;
    std::int32_t kind;
    Bytes data;
};

TEST(VariantBlob, DecodeTable) {
    const DecodeCase cases[] = {
        {"bool true", Concat(Header(13, 0, 1), {1}), Qx::kOk, Qx::Bool, {1}},
        {"int32 -1", Concat(Header(16, 0, 2), {0xFF, 0xFF, 0xFF, 0xFF}), Qx::kOk, Qx::Int32,
         {0xFF, 0xFF, 0xFF, 0xFF}},
        {"int32 of 2 bytes is empty", Concat(Header(14, 0, 2), {1, 2}), Qx::kOk, Qx::Empty, {}},
        {"empty header", Header(12, 0, 0), Qx::kOk, Qx::Empty, {}},
        {"empty opaque", Header(12, 0, 10), Qx::kOk, Qx::Opaque, {}},
        {"header of bool", Header(12, 0, 1), Qx::kFail, 0, {}},
        {"header of bytes", Header(12, 0, 8), Qx::kFail, 0, {}},
        {"header of string", Header(12, 0, 9), Qx::kFail, 0, {}},
        {"kind 0 with payload", Concat(Header(13, 0, 0), {1}), Qx::kFail, 0, {}},
        {"reserved 1", Concat(Header(13, 1, 1), {1}), Qx::kFail, 0, {}},
        {"kind 11", Concat(Header(13, 0, 11), {1}), Qx::kFail, 0, {}},
        {"11 bytes", Bytes(11, 0), Qx::kFail, 0, {}},
        {"header says 20 of 16", Concat(Header(20, 0, 2), {1, 0, 0, 0}), Qx::kFail, 0, {}},
        {"trailing bytes ignored", Concat(Header(16, 0, 2), {1, 0, 0, 0, 9, 9, 9, 9, 9, 9, 9, 9}),
         Qx::kOk, Qx::Int32, {1, 0, 0, 0}},
        {"kind 6 as bytes", Concat(Header(15, 0, 6), {1, 2, 3}), Qx::kOk, Qx::Bytes, {1, 2, 3}},
        {"kind 7 as bytes", Concat(Header(15, 0, 7), {1, 2, 3}), Qx::kOk, Qx::Bytes, {1, 2, 3}},
        {"text to first NUL", Concat(Header(18, 0, 9), {'a', 'b', 0, 'c', 'd', 0}), Qx::kOk,
         Qx::String, {'a', 'b', 0}},
        // Text without a NUL ends at the payload's end, not past it: the byte
        // after totalLength is not part of it.
        {"text without NUL", Concat(Header(14, 0, 9), {'a', 'b', 'c'}), Qx::kOk, Qx::String,
         {'a', 'b', 0}},
        {"total below header", Concat(Header(4, 0, 1), {1}), Qx::kFail, 0, {}},
        {"total zero", Header(0, 0, 0), Qx::kFail, 0, {}},
    };
    for (const auto& c : cases) {
        Qx::Variant v;
        v.SetString("keep");
        EXPECT_EQ(Qx::DecodeVariantBlob(v, c.blob.data(), static_cast<std::uint32_t>(c.blob.size())),
                  c.result)
            << c.name;
        if (c.result == Qx::kOk) {
            EXPECT_EQ(v.Kind(), c.kind) << c.name;
            EXPECT_EQ(DataOf(v), c.data) << c.name;
        } else {
            // A refused blob leaves the target as it was.
            ASSERT_NE(v.GetString(), nullptr) << c.name;
            EXPECT_STREQ(v.GetString(), "keep") << c.name;
        }
    }
}

TEST(VariantBlob, DecodedValuesConvert) {
    Qx::Variant v;
    const Bytes b = Concat(Header(13, 0, 1), {1});
    ASSERT_EQ(Qx::DecodeVariantBlob(v, b.data(), 13), Qx::kOk);
    EXPECT_EQ(v.ToInt32(), 1);
    EXPECT_EQ(v.ToDouble(), 1.0);
    const Bytes m = Concat(Header(16, 0, 2), {0xFF, 0xFF, 0xFF, 0xFF});
    ASSERT_EQ(Qx::DecodeVariantBlob(v, m.data(), 16), Qx::kOk);
    EXPECT_EQ(v.ToInt64(), -1);
    EXPECT_TRUE(v.ToBool());
    EXPECT_EQ(v.ToFloat(), -1.0f);
}

TEST(VariantBlob, EncodeLayouts) {
    struct Case {
        const char* name;
        std::int32_t kind;
        Bytes data;
        Bytes blob;
    } cases[] = {
        {"empty", Qx::Empty, {}, Header(12, 0, 0)},
        {"bool", Qx::Bool, {1}, Concat(Header(13, 0, 1), {1})},
        {"int32", Qx::Int32, {0xFE, 0xFF, 0xFF, 0xFF}, Concat(Header(16, 0, 2), {0xFE, 0xFF, 0xFF, 0xFF})},
        {"float", Qx::Float, BytesOf(1.0f), Concat(Header(16, 0, 4), {0, 0, 0x80, 0x3F})},
        {"double", Qx::Double, BytesOf(1.0), Concat(Header(20, 0, 5), {0, 0, 0, 0, 0, 0, 0xF0, 0x3F})},
        {"int64", Qx::Int64, BytesOf<std::int64_t>(2), Concat(Header(20, 0, 3), {2, 0, 0, 0, 0, 0, 0, 0})},
        {"string", Qx::String, {'h', 'i', 0}, Concat(Header(15, 0, 9), {'h', 'i', 0})},
        {"bytes", Qx::Bytes, {5, 6}, Concat(Header(14, 0, 8), {5, 6})},
        {"empty bytes", Qx::Bytes, {}, Header(12, 0, 8)},
        {"opaque", Qx::Opaque, {7}, Concat(Header(13, 0, 10), {7})},
    };
    for (const auto& c : cases) {
        Qx::Variant v;
        Load(v, c.kind, c.data);
        EXPECT_EQ(Encode(v), c.blob) << c.name;
    }
}

TEST(VariantBlob, EncodeRefusesSmallOrMissingBuffersAndWritesNothing) {
    Qx::Variant v;
    Load(v, Qx::Int64, BytesOf<std::int64_t>(-1));
    Bytes out(19, 0xAB);
    EXPECT_EQ(Qx::EncodeVariantBlob(v, out.data(), 19), Qx::kFail);
    EXPECT_EQ(out, Bytes(19, 0xAB));
    EXPECT_EQ(Qx::EncodeVariantBlob(v, nullptr, 100), Qx::kFail);
    out.resize(20);
    EXPECT_EQ(Qx::EncodeVariantBlob(v, out.data(), 20), 20);
}

TEST(VariantBlob, RoundTripKeepsKindAndBytes) {
    const std::pair<std::int32_t, Bytes> values[] = {
        {Qx::Empty, {}},          {Qx::Bool, {0}},
        {Qx::Int32, BytesOf(-7)}, {Qx::Int64, BytesOf<std::int64_t>(1LL << 40)},
        {Qx::Float, BytesOf(-0.0f)}, {Qx::Double, BytesOf(3.25)},
        {Qx::Bytes, {0, 1, 2}},   {Qx::String, {'x', 0}},
        {Qx::Opaque, {9}},        {Qx::Opaque, {}},
    };
    for (const auto& [kind, data] : values) {
        Qx::Variant in, out;
        Load(in, kind, data);
        const Bytes blob = Encode(in);
        ASSERT_EQ(Qx::DecodeVariantBlob(out, blob.data(), static_cast<std::uint32_t>(blob.size())),
                  Qx::kOk)
            << kind;
        EXPECT_EQ(out.Kind(), kind);
        EXPECT_EQ(DataOf(out), data) << kind;
    }
}

// A setter handed this value's own text or bytes must copy them before it
// releases the old buffer (AddressSanitizer reports a read of freed memory
// otherwise), and a scalar must be read before the value is cleared.
TEST(Variant, SettersMayReadTheValuesOwnBytes) {
    using Set = void (*)(Qx::Variant&);
    struct Case {
        const char* name;
        std::int32_t kind;  // what the value holds before
        Bytes data;
        Set set;
        std::int32_t expectedKind;
        Bytes expectedData;
    } cases[] = {
        {"assign own text", Qx::String, {'a', 'b', 0}, [](Qx::Variant& v) { v = v.GetString(); },
         Qx::String, {'a', 'b', 0}},
        {"SetString of own tail", Qx::String, {'a', 'b', 0},
         [](Qx::Variant& v) { v.SetString(v.GetString() + 1); }, Qx::String, {'b', 0}},
        {"SetBuffer of own bytes", Qx::Bytes, {1, 2, 3},
         [](Qx::Variant& v) {
             std::uint32_t n = 0;
             const std::uint8_t* p = v.GetData(n);
             v.SetBuffer(p + 1, n - 1);
         },
         Qx::Bytes, {2, 3}},
        {"SetValue of own text as opaque", Qx::String, {'x', 0},
         [](Qx::Variant& v) {
             std::uint32_t n = 0;
             const std::uint8_t* p = v.GetData(n);
             v.SetValue(Qx::Opaque, p, n);
         },
         Qx::Opaque, {'x', 0}},
        {"SetValue of own scalar", Qx::Int32, BytesOf<std::int32_t>(7),
         [](Qx::Variant& v) {
             std::uint32_t n = 0;
             const std::uint8_t* p = v.GetData(n);
             v.SetValue(Qx::Float, p, n);
         },
         Qx::Float, BytesOf<std::int32_t>(7)},
        {"decode own blob", Qx::Bytes, Concat(Header(15, 0, 9), {'h', 'i', 0}),
         [](Qx::Variant& v) {
             std::uint32_t n = 0;
             const std::uint8_t* p = v.GetData(n);
             Qx::DecodeVariantBlob(v, p, n);
         },
         Qx::String, {'h', 'i', 0}},
    };
    for (const auto& c : cases) {
        Qx::Variant v;
        Load(v, c.kind, c.data);
        c.set(v);
        EXPECT_EQ(v.Kind(), c.expectedKind) << c.name;
        EXPECT_EQ(DataOf(v), c.expectedData) << c.name;
    }
}

}  // namespace
