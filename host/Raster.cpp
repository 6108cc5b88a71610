// Image files in strips: libvips reads photographs' formats from the top and GDAL the rasters
// of remote sensing; TIFF output goes through GDAL for the rasters GDAL read, otherwise through
// libtiff as it comes, with the input's georeferencing tags.
#include "host/Raster.h"

#include "host/GdalRaster.h"
#include "host/TiffExif.h"
#include "host/VipsSupport.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace vt::host {

namespace {

// ---- libtiff -------------------------------------------------------------------------------

// The georeferencing tags: GeoTIFF's model tags and key directory, and GDAL's metadata and
// no-data value. libtiff does not know them; they are registered for every file it opens.
const TIFFFieldInfo GeoFields[] = {
    {33550, -1, -1, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1, const_cast<char*>("ModelPixelScale")},
    {33922, -1, -1, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1, const_cast<char*>("ModelTiepoint")},
    {34264, -1, -1, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1, const_cast<char*>("ModelTransformation")},
    {34735, -1, -1, TIFF_SHORT, FIELD_CUSTOM, 1, 1, const_cast<char*>("GeoKeyDirectory")},
    {34736, -1, -1, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1, const_cast<char*>("GeoDoubleParams")},
    {34737, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("GeoAsciiParams")},
    {42112, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("GDALMetadata")},
    {42113, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("GDALNoDataValue")},
};

constexpr uint32_t GdalMetadataTag = 42112;

TIFFExtendProc ParentExtender = nullptr;

void ExtendTags(TIFF* tif) {
    for (const TIFFFieldInfo& field : GeoFields)
        if (TIFFFindField(tif, field.field_tag, TIFF_ANY) == nullptr)
            TIFFMergeFieldInfo(tif, &field, 1);
    if (ParentExtender != nullptr)
        ParentExtender(tif);
}

// libtiff's first error for one file, kept for the exception.
struct TTiffErrors {
    std::string First;
};

int KeepError(TIFF*, void* user, const char* module, const char* format, va_list args) {
    auto* errors = static_cast<TTiffErrors*>(user);
    if (errors->First.empty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        errors->First = module != nullptr && *module != '\0' ? std::string(module) + ": " + text
                                                             : std::string(text);
    }
    return 1;
}

int IgnoreWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

// A file open with libtiff, its errors kept rather than printed.
class TTiffFile {
public:
    TTiffFile(const std::string& path, const char* mode) {
        static std::once_flag registered;
        std::call_once(registered, [] { ParentExtender = TIFFSetTagExtender(ExtendTags); });
        TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
        TIFFOpenOptionsSetErrorHandlerExtR(options, KeepError, &Errors);
        TIFFOpenOptionsSetWarningHandlerExtR(options, IgnoreWarning, nullptr);
        Handle = TIFFOpenExt(path.c_str(), mode, options);
        TIFFOpenOptionsFree(options);
    }
    ~TTiffFile() {
        if (Handle != nullptr)
            TIFFClose(Handle);
    }
    TTiffFile(const TTiffFile&) = delete;
    TTiffFile& operator=(const TTiffFile&) = delete;

    std::string Reason() const { return Errors.First.empty() ? "libtiff failed" : Errors.First; }

    TIFF* Handle = nullptr;
    TTiffErrors Errors; // before Handle is opened: libtiff keeps its address
};

bool StartsAsTiff(const std::string& path) {
    char magic[4] = {};
    std::ifstream(path, std::ios::binary).read(magic, 4);
    return (std::memcmp(magic, "II", 2) == 0 && (magic[2] == 42 || magic[2] == 43) &&
            magic[3] == 0) ||
           (std::memcmp(magic, "MM", 2) == 0 && magic[2] == 0 &&
            (magic[3] == 42 || magic[3] == 43));
}

// What the output TIFF takes over from an input TIFF: the georeferencing tags and the
// compression.
struct TTiffHeritage {
    struct TTag {
        uint32_t Tag;
        TIFFDataType Type;
        std::vector<uint8_t> Data; // the values, or the text with its terminating zero
        uint16_t Count = 0;
    };
    std::vector<TTag> Tags;
    uint16_t Compression = COMPRESSION_NONE;
    uint16_t Predictor = PREDICTOR_NONE;
    bool LastExtraIsAlpha = false;
    uint16_t ExtraSamples = 0;
    bool Has(uint32_t tag) const {
        return std::any_of(Tags.begin(), Tags.end(), [&](const TTag& t) { return t.Tag == tag; });
    }
};

TTiffHeritage ReadHeritage(const std::string& path) {
    TTiffHeritage heritage;
    TTiffFile file(path, "r");
    if (file.Handle == nullptr)
        return heritage;
    TIFF* tif = file.Handle;
    for (const TIFFFieldInfo& field : GeoFields) {
        TTiffHeritage::TTag tag{field.field_tag, field.field_type, {}, 0};
        if (field.field_type == TIFF_ASCII) {
            char* text = nullptr;
            if (TIFFGetField(tif, field.field_tag, &text) != 1 || text == nullptr)
                continue;
            tag.Data.assign(text, text + std::strlen(text) + 1);
        } else {
            uint16_t count = 0;
            void* values = nullptr;
            if (TIFFGetField(tif, field.field_tag, &count, &values) != 1 || values == nullptr)
                continue;
            const size_t size = field.field_type == TIFF_SHORT ? 2 : 8;
            const auto* bytes = static_cast<const uint8_t*>(values);
            tag.Data.assign(bytes, bytes + size * count);
            tag.Count = count;
        }
        heritage.Tags.push_back(std::move(tag));
    }
    // The photograph's description: what it shows, the camera, when, who.
    for (const uint32_t tag : {270u, 271u, 272u, 305u, 306u, 315u, 33432u}) {
        char* text = nullptr;
        if (TIFFGetField(tif, tag, &text) == 1 && text != nullptr)
            heritage.Tags.push_back({tag, TIFF_ASCII, {text, text + std::strlen(text) + 1}, 0});
    }
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &heritage.Compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &heritage.Predictor);
    uint16_t extras = 0;
    uint16_t* kinds = nullptr;
    if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extras, &kinds) == 1 && extras > 0) {
        heritage.ExtraSamples = extras;
        heritage.LastExtraIsAlpha = kinds[extras - 1] == EXTRASAMPLE_ASSOCALPHA ||
                                    kinds[extras - 1] == EXTRASAMPLE_UNASSALPHA;
    }
    return heritage;
}

bool Lossless(uint16_t compression) {
    switch (compression) {
    case COMPRESSION_LZW:
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
    case COMPRESSION_ZSTD:
    case COMPRESSION_LZMA:
    case COMPRESSION_PACKBITS:
        return TIFFIsCODECConfigured(compression) != 0;
    default:
        return false;
    }
}

} // namespace

// ---- Reading -------------------------------------------------------------------------------

struct TRasterReader::TState {
    std::string Path;
    bool Mask = false;
    vips::VImage Image;
    VipsRegion* Region = nullptr;
    int64_t Width = 0, Height = 0;
    int Bands = 0;
    bool Alpha = false;
    bool Tiff = false;
    VipsBandFormat Format = VIPS_FORMAT_UCHAR;
    VipsInterpretation Interpretation = VIPS_INTERPRETATION_MULTIBAND;
    std::shared_ptr<const TMetadata> Metadata;
    int64_t Next = 0;
    std::unique_ptr<TGdalReader> Gdal; // the raster when GDAL reads it

    ~TState() { Drop(); }
    void Drop() {
        if (Region != nullptr)
            g_object_unref(Region);
        Region = nullptr;
    }
    void Open() {
        Drop();
        // A damaged file fails rather than being read as far as it goes and filled in.
        Image =
            vips::VImage::new_from_file(Path.c_str(), vips::VImage::option()
                                                          ->set("access", VIPS_ACCESS_SEQUENTIAL)
                                                          ->set("fail_on", VIPS_FAIL_ON_ERROR));
        if (Mask)
            Image = Image.extract_band(0) != 0.0;
        Region = vips_region_new(Image.get_image());
        Next = 0;
    }
};

namespace {

// The engine's sample types as libvips's band formats, in the order of TSampleType.
constexpr VipsBandFormat VipsFormats[] = {VIPS_FORMAT_UCHAR, VIPS_FORMAT_USHORT, VIPS_FORMAT_FLOAT,
                                          VIPS_FORMAT_CHAR,  VIPS_FORMAT_SHORT,  VIPS_FORMAT_INT,
                                          VIPS_FORMAT_UINT,  VIPS_FORMAT_DOUBLE};

VipsBandFormat VipsFormatOf(TSampleType type) noexcept {
    return VipsFormats[static_cast<int>(type)];
}

// The sample type of a libvips band format; false for complex samples.
bool SampleTypeOf(VipsBandFormat format, TSampleType& type) noexcept {
    for (TSampleType t : SampleTypes)
        if (VipsFormatOf(t) == format) {
            type = t;
            return true;
        }
    return false;
}

// libvips's description of a raster's pixels that GDAL reads, for the savers of other formats:
// grey, colour (red, green and blue as the first three bands) or bands of no colour.
VipsInterpretation InterpretationOf(const TGdalReader& gdal, VipsBandFormat format) {
    const int colour = gdal.Bands() - (gdal.Alpha() ? 1 : 0);
    const bool wide = format == VIPS_FORMAT_USHORT,
               real = format == VIPS_FORMAT_FLOAT || format == VIPS_FORMAT_DOUBLE;
    if (colour == 3 && gdal.Rgb())
        return real   ? VIPS_INTERPRETATION_scRGB
               : wide ? VIPS_INTERPRETATION_RGB16
                      : VIPS_INTERPRETATION_sRGB;
    if (colour == 1)
        return wide ? VIPS_INTERPRETATION_GREY16 : VIPS_INTERPRETATION_B_W;
    return VIPS_INTERPRETATION_MULTIBAND;
}

} // namespace

TRasterReader::TRasterReader(const std::string& path, bool mask)
    : State(std::make_unique<TState>()) {
    State->Path = path;
    State->Mask = mask;
    if (OpensWithGdal(path)) {
        State->Gdal = std::make_unique<TGdalReader>(path, mask);
        const TGdalReader& gdal = *State->Gdal;
        State->Width = gdal.Width();
        State->Height = gdal.Height();
        State->Bands = gdal.Bands();
        State->Alpha = gdal.Alpha();
        TSampleType type;
        State->Format = gdal.EngineType(type) ? VipsFormatOf(type) : VIPS_FORMAT_NOTSET;
        State->Interpretation = InterpretationOf(gdal, State->Format);
        return;
    }
    try {
        State->Open();
        const vips::VImage& image = State->Image;
        State->Width = image.width();
        State->Height = image.height();
        State->Bands = image.bands();
        State->Format = image.format();
        State->Interpretation = image.interpretation();
        const char* loader = vips_foreign_find_load(path.c_str());
        State->Tiff = loader != nullptr && std::strstr(loader, "Tiff") != nullptr;
        if (!mask) {
            State->Metadata = TakeMetadata(image, true);
            // The alpha channel as the file marks it: a TIFF by its extra samples, other
            // formats by their colour space (grey and alpha, colour and alpha).
            const int n = State->Bands;
            const VipsInterpretation space = State->Interpretation;
            if (State->Tiff && StartsAsTiff(path))
                State->Alpha = ReadHeritage(path).LastExtraIsAlpha && n >= 2;
            else if (space == VIPS_INTERPRETATION_CMYK)
                State->Alpha = n == 5;
            else
                State->Alpha = n == 2 || n == 4;
        }
    } catch (const vips::VError& e) {
        throw std::runtime_error("cannot read " + path + ": " + VipsReason(e, path));
    }
}

TRasterReader::~TRasterReader() = default;

const std::string& TRasterReader::Path() const noexcept {
    return State->Path;
}
int64_t TRasterReader::Width() const noexcept {
    return State->Width;
}
int64_t TRasterReader::Height() const noexcept {
    return State->Height;
}
int TRasterReader::Bands() const noexcept {
    return State->Bands;
}
bool TRasterReader::Alpha() const noexcept {
    return State->Alpha;
}
bool TRasterReader::EngineType() const noexcept {
    TSampleType type;
    return SampleTypeOf(State->Format, type);
}
TSampleType TRasterReader::Type() const noexcept {
    TSampleType type = TSampleType::UInt8;
    SampleTypeOf(State->Format, type);
    return type;
}
const char* TRasterReader::FileTypeName() const noexcept {
    if (State->Gdal)
        return State->Gdal->TypeName();
    TSampleType type;
    if (SampleTypeOf(State->Format, type))
        return SampleTypeName(type);
    switch (State->Format) {
    case VIPS_FORMAT_COMPLEX:
        return "complex64";
    case VIPS_FORMAT_DPCOMPLEX:
        return "complex128";
    default:
        return "unknown";
    }
}
void TRasterReader::RequireEngineType() const {
    if (!EngineType())
        throw EStretch(State->Path + ": " + FileTypeName() +
                       " samples cannot be stretched (the engine takes 8-, 16- and 32-bit "
                       "integers, signed or not, and 32- and 64-bit floats)");
}
bool TRasterReader::Tiff() const noexcept {
    return State->Tiff;
}
bool TRasterReader::NoData(double& value) const noexcept {
    value = 0;
    return State->Gdal && State->Gdal->NoData(value);
}
std::string TRasterReader::NoDataNote() const {
    return State->Gdal ? State->Gdal->NoDataNote() : std::string();
}
const TGdalReader* TRasterReader::Gdal() const noexcept {
    return State->Gdal.get();
}
int TRasterReader::Interpretation() const noexcept {
    return State->Interpretation;
}
size_t TRasterReader::RowBytes() const noexcept {
    return static_cast<size_t>(State->Width) * static_cast<size_t>(State->Bands) *
           SampleBytes(Type());
}
const std::shared_ptr<const TMetadata>& TRasterReader::Metadata() const noexcept {
    return State->Metadata;
}

void TRasterReader::Restart() {
    if (State->Gdal) {
        State->Gdal->Restart();
        return;
    }
    try {
        State->Open();
    } catch (const vips::VError& e) {
        throw std::runtime_error("cannot read " + State->Path + ": " + VipsReason(e, State->Path));
    }
}

void TRasterReader::Read(int64_t y, int64_t rows, uint8_t* buffer) {
    if (State->Gdal) {
        State->Gdal->Read(y, rows, buffer);
        return;
    }
    if (y != State->Next || rows < 1 || y + rows > State->Height)
        throw std::logic_error("rows read out of order");
    VipsRect rect{0, static_cast<int>(y), static_cast<int>(State->Width), static_cast<int>(rows)};
    if (vips_region_prepare(State->Region, &rect) != 0) {
        vips::VError error;
        throw std::runtime_error("cannot read " + State->Path + ": " +
                                 VipsReason(error, State->Path));
    }
    const size_t line = RowBytes();
    for (int64_t r = 0; r < rows; ++r)
        std::memcpy(buffer + static_cast<size_t>(r) * line,
                    VIPS_REGION_ADDR(State->Region, 0, static_cast<int>(y + r)), line);
    State->Next = y + rows;
}

// ---- Writing -------------------------------------------------------------------------------

namespace {

// Which formats hold what: the saver libvips chooses by the name.
struct TFormat {
    const char* Saver; // part of libvips's saver class name
    const char* Name;
    bool Wide;    // 16-bit samples
    bool AnyType; // every sample type (the others: 8-bit, and 16-bit when Wide)
    int Bands;    // at most, alpha included
    bool FourthIsAlpha;
};

const TFormat Formats[] = {
    {"Tiff", "TIFF", true, true, 1 << 16, false}, {"Vips", "VIPS", true, true, 1 << 16, false},
    {"Png", "PNG", true, false, 4, true},         {"Jpeg", "JPEG", false, false, 4, false},
    {"Webp", "WebP", false, false, 4, true},      {"Gif", "GIF", false, false, 4, true},
    {"Ppm", "PNM", true, false, 3, false},        {"Heif", "HEIF", false, false, 4, true},
};

// The GDAL metadata of the input without the items that describe its values (statistics,
// histograms, scale and offset): they would misdescribe the stretched output. Empty when
// nothing is left.
std::string WithoutValueItems(const std::string& xml) {
    std::string out;
    size_t at = 0;
    for (;;) {
        const size_t open = xml.find("<Item", at);
        if (open == std::string::npos)
            break;
        const size_t close = xml.find("</Item>", open);
        if (close == std::string::npos)
            break;
        const size_t end = close + 7;
        const std::string item = xml.substr(open, end - open);
        const bool values = item.find("name=\"STATISTICS_") != std::string::npos ||
                            item.find("role=\"scale\"") != std::string::npos ||
                            item.find("role=\"offset\"") != std::string::npos;
        out += xml.substr(at, open - at);
        if (!values) {
            out += item;
        } else {
            // The line the item stood on goes with it.
            while (!out.empty() && (out.back() == ' ' || out.back() == '\t'))
                out.pop_back();
        }
        at = end;
        if (values && at < xml.size() && xml[at] == '\n')
            ++at;
    }
    out += xml.substr(at);
    return out.find("<Item") == std::string::npos ? std::string() : out;
}

} // namespace

void CheckOutputHolds(const std::string& out, int bands, bool alpha, TSampleType type) {
    const std::string file = SplitOutputName(out).File;
    const char* saver = vips_foreign_find_save(file.c_str());
    if (saver == nullptr) {
        vips_error_clear();
        throw EStretch("cannot write " + file + ": no image format has that extension");
    }
    const TFormat* format = nullptr;
    for (const TFormat& f : Formats)
        if (std::strstr(saver, f.Saver) != nullptr)
            format = &f;
    const int colour = bands - (alpha ? 1 : 0);
    std::string why;
    // TIFF and VIPS files hold every type; the others 8-bit samples, some 16-bit ones too.
    const bool any = format != nullptr && format->AnyType;
    if (type != TSampleType::UInt8 && type != TSampleType::UInt16 && !any)
        why = std::string(SampleTypeName(type)) + " samples";
    else if (type == TSampleType::UInt16 && (format == nullptr || !format->Wide))
        why = "16-bit samples";
    else if (format == nullptr ? bands > 4 : bands > format->Bands)
        why = std::to_string(bands) + " bands";
    else if (format != nullptr && format->FourthIsAlpha && colour == 4)
        why = "four colour bands (it takes a fourth band as alpha)";
    if (why.empty())
        return;
    const std::string name = format != nullptr ? format->Name : "that format";
    throw EStretch("cannot write " + file + ": " + name + " cannot hold " + why +
                   " of this result; write a TIFF (.tif) instead");
}

struct TRasterWriter::TState {
    std::string Path, Part;
    TWriteOptions Options;
    const TRasterReader* Like = nullptr;
    std::unique_ptr<TGdalWriter> Gdal; // TIFF output of a raster GDAL reads
    std::unique_ptr<TTiffFile> Tiff;   // any other TIFF output
    std::vector<uint8_t> Gathered;     // any other format
    int64_t Row = 0;

    [[noreturn]] void Fail(const std::string& reason) const {
        throw std::runtime_error("cannot write " + Path + ": " + reason);
    }
    void StartTiff();
};

namespace {

uint16_t Photometric(const TRasterReader& like) {
    const auto space = static_cast<VipsInterpretation>(like.Interpretation());
    const int colour = like.ColourBands();
    if (colour == 3 && (space == VIPS_INTERPRETATION_sRGB || space == VIPS_INTERPRETATION_RGB ||
                        space == VIPS_INTERPRETATION_RGB16 || space == VIPS_INTERPRETATION_scRGB))
        return PHOTOMETRIC_RGB;
    if (colour == 4 && space == VIPS_INTERPRETATION_CMYK)
        return PHOTOMETRIC_SEPARATED;
    return PHOTOMETRIC_MINISBLACK;
}

const void* Blob(const GValue& value, size_t& size) {
    size = 0;
    return G_VALUE_HOLDS(&value, VIPS_TYPE_BLOB) ? vips_value_get_blob(&value, &size) : nullptr;
}

// The blob of the metadata's field of that name, or null.
const void* FieldBlob(const TMetadata* metadata, const char* name, size_t& size) {
    size = 0;
    if (metadata != nullptr)
        for (const auto& [field, value] : metadata->Fields)
            if (field == name)
                return Blob(value, size);
    return nullptr;
}

// The IPTC records of a Photoshop block ("Photoshop 3.0", then resources "8BIM", id, padded
// name, size, padded data): resource 0x0404's data, or nothing.
std::vector<uint8_t> IptcRecords(const uint8_t* block, size_t size) {
    size_t at = 14;
    while (at + 12 <= size && std::memcmp(block + at, "8BIM", 4) == 0) {
        const unsigned id = block[at + 4] << 8 | block[at + 5];
        size_t name = 1 + block[at + 6];
        name += name % 2;
        const size_t length = at + 6 + name + 4;
        if (length > size)
            break;
        const size_t data = static_cast<size_t>(block[length - 4]) << 24 |
                            static_cast<size_t>(block[length - 3]) << 16 |
                            static_cast<size_t>(block[length - 2]) << 8 | block[length - 1];
        if (data > size - length)
            break;
        if (id == 0x0404)
            return std::vector<uint8_t>(block + length, block + length + data);
        at = length + data + data % 2;
    }
    return {};
}

} // namespace

void TRasterWriter::TState::StartTiff() {
    const TRasterReader& like = *Like;
    const uint64_t bytes = like.RowBytes() * static_cast<uint64_t>(like.Height());
    Tiff = std::make_unique<TTiffFile>(Part, bytes > (uint64_t{3} << 30) ? "w8" : "w");
    TIFF* tif = Tiff->Handle;
    if (tif == nullptr)
        Fail(Tiff->Reason());
    const uint16_t photometric = Photometric(like);
    const int bits = static_cast<int>(SampleBytes(like.Type())) * 8;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(like.Width()));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(like.Height()));
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(like.Bands()));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(bits));
    TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT,
                 IsFloatSample(like.Type())    ? SAMPLEFORMAT_IEEEFP
                 : IsSignedSample(like.Type()) ? SAMPLEFORMAT_INT
                                               : SAMPLEFORMAT_UINT);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    if (photometric == PHOTOMETRIC_SEPARATED)
        TIFFSetField(tif, TIFFTAG_INKSET, INKSET_CMYK);
    const int base = photometric == PHOTOMETRIC_RGB         ? 3
                     : photometric == PHOTOMETRIC_SEPARATED ? 4
                                                            : 1;
    if (like.Bands() > base) {
        std::vector<uint16_t> extras(static_cast<size_t>(like.Bands() - base),
                                     EXTRASAMPLE_UNSPECIFIED);
        if (like.Alpha())
            extras.back() = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, static_cast<uint16_t>(extras.size()),
                     extras.data());
    }

    TTiffHeritage heritage;
    if (like.Tiff() && StartsAsTiff(like.Path()))
        heritage = ReadHeritage(like.Path());
    if (Lossless(heritage.Compression)) {
        TIFFSetField(tif, TIFFTAG_COMPRESSION, heritage.Compression);
        const uint16_t predictor =
            IsFloatSample(like.Type()) ? PREDICTOR_FLOATINGPOINT : PREDICTOR_HORIZONTAL;
        if (heritage.Compression != COMPRESSION_PACKBITS && heritage.Predictor == predictor)
            TIFFSetField(tif, TIFFTAG_PREDICTOR, predictor);
    }
    for (const TTiffHeritage::TTag& tag : heritage.Tags) {
        if (tag.Type != TIFF_ASCII) {
            TIFFSetField(tif, tag.Tag, static_cast<int>(tag.Count), tag.Data.data());
        } else if (tag.Tag == GdalMetadataTag) {
            const std::string kept =
                WithoutValueItems(reinterpret_cast<const char*>(tag.Data.data()));
            if (!kept.empty())
                TIFFSetField(tif, tag.Tag, kept.c_str());
        } else {
            TIFFSetField(tif, tag.Tag, reinterpret_cast<const char*>(tag.Data.data()));
        }
    }

    // The photograph's description: profile, XMP, orientation and resolution.
    const TMetadata* metadata = like.Metadata().get();
    double xres = metadata != nullptr ? metadata->XRes : 1.0;
    double yres = metadata != nullptr ? metadata->YRes : 1.0;
    bool centimetres = false;
    if (metadata != nullptr)
        for (const auto& [name, value] : metadata->Fields) {
            size_t size = 0;
            const void* data = Blob(value, size);
            if (name == VIPS_META_ICC_NAME && data != nullptr)
                TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(size), data);
            else if (name == VIPS_META_XMP_NAME && data != nullptr)
                TIFFSetField(tif, TIFFTAG_XMLPACKET, static_cast<uint32_t>(size), data);
            else if (name == VIPS_META_ORIENTATION && G_VALUE_HOLDS_INT(&value)) {
                const int orientation = g_value_get_int(&value);
                if (orientation >= 1 && orientation <= 8)
                    TIFFSetField(tif, TIFFTAG_ORIENTATION, static_cast<uint16_t>(orientation));
            } else if (name == VIPS_META_RESOLUTION_UNIT &&
                       G_VALUE_HOLDS(&value, VIPS_TYPE_REF_STRING)) {
                const char* unit = vips_value_get_ref_string(&value, nullptr);
                centimetres = unit != nullptr && std::strcmp(unit, "cm") == 0;
            }
        }
    // EXIF's description of the camera in the TIFF's own tags (its directories follow when the
    // file is complete), and IPTC both as Photoshop's resources and as the bare records.
    size_t exifSize = 0, iptcSize = 0;
    const auto* exif = static_cast<const uint8_t*>(FieldBlob(metadata, "exif-data", exifSize));
    const auto* iptc =
        static_cast<const uint8_t*>(FieldBlob(metadata, VIPS_META_IPTC_NAME, iptcSize));
    for (const auto& [tag, text] : ExifTextTags(exif, exifSize))
        if (!heritage.Has(tag))
            TIFFSetField(tif, tag, text.c_str());
    if (iptc != nullptr && iptcSize > 14) {
        TIFFSetField(tif, TIFFTAG_PHOTOSHOP, static_cast<uint32_t>(iptcSize - 14), iptc + 14);
        const std::vector<uint8_t> records = IptcRecords(iptc, iptcSize);
        if (!records.empty())
            TIFFSetField(tif, TIFFTAG_RICHTIFFIPTC, static_cast<uint32_t>(records.size()),
                         records.data());
    }
    const double perUnit = centimetres ? 10.0 : 25.4; // libvips keeps pixels per millimetre
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, centimetres ? RESUNIT_CENTIMETER : RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, static_cast<float>(xres * perUnit));
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, static_cast<float>(yres * perUnit));
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
}

TRasterWriter::TRasterWriter(const TPartFile& part, const TRasterReader& like,
                             const TWriteOptions& options)
    : State(std::make_unique<TState>()) {
    State->Path = part.Target();
    State->Part = part.Part();
    State->Options = options;
    State->Like = &like;
    if (IsTiffName(State->Path) && like.Gdal() != nullptr) {
        State->Gdal = std::make_unique<TGdalWriter>(part, *like.Gdal(), options);
    } else if (IsTiffName(State->Path)) {
        State->StartTiff();
    } else {
        if (vips_foreign_find_save(State->Path.c_str()) == nullptr) {
            vips_error_clear();
            State->Fail("no image format has that extension");
        }
        State->Gathered.reserve(like.RowBytes() * static_cast<size_t>(like.Height()));
    }
}

TRasterWriter::~TRasterWriter() = default;

void TRasterWriter::Write(const uint8_t* rows, int64_t count) {
    if (State->Gdal) {
        State->Gdal->Write(rows, count);
        State->Row += count;
        return;
    }
    const size_t line = State->Like->RowBytes();
    if (State->Tiff) {
        TIFF* tif = State->Tiff->Handle;
        for (int64_t r = 0; r < count; ++r, ++State->Row)
            if (TIFFWriteScanline(tif, const_cast<uint8_t*>(rows + static_cast<size_t>(r) * line),
                                  static_cast<uint32_t>(State->Row), 0) < 0)
                State->Fail(State->Tiff->Reason());
        return;
    }
    State->Gathered.insert(State->Gathered.end(), rows, rows + static_cast<size_t>(count) * line);
    State->Row += count;
}

void TRasterWriter::Finish() {
    const TRasterReader& like = *State->Like;
    if (State->Gdal) {
        State->Gdal->Finish();
        return;
    }
    if (State->Tiff) {
        if (TIFFFlush(State->Tiff->Handle) != 1)
            State->Fail(State->Tiff->Reason());
        State->Tiff.reset();
        size_t size = 0;
        const void* exif = FieldBlob(like.Metadata().get(), "exif-data", size);
        if (exif != nullptr)
            AppendExif(State->Part, static_cast<const uint8_t*>(exif), size);
        else if (like.Tiff() && StartsAsTiff(like.Path()))
            AppendExifOfTiff(State->Part, like.Path());
        return;
    }
    try {
        vips::VImage image = vips::VImage::new_from_memory(
            State->Gathered.data(), State->Gathered.size(), static_cast<int>(like.Width()),
            static_cast<int>(like.Height()), like.Bands(), VipsFormatOf(like.Type()));
        image = image.copy(vips::VImage::option()->set("interpretation", like.Interpretation()));
        if (like.Metadata())
            PutMetadata(*like.Metadata(), WritesJpeg(State->Path), image);
        SaveImage(image, State->Part, State->Options.SaverOptions, State->Options.Quality);
    } catch (const vips::VError& e) {
        State->Fail(VipsReason(e));
    }
}

// ---- The rest ------------------------------------------------------------------------------

TSampleType ComparisonType(TSampleType type) noexcept {
    return type == TSampleType::UInt8 || type == TSampleType::UInt16 ? type : TSampleType::Float32;
}

bool IsTiffName(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".tif" || ext == ".tiff";
}

void WriteComparison(const std::string& before, const std::string& after, const TPartFile& part,
                     const TWriteOptions& options) {
    try {
        // The pixels of rasters libvips cannot open, read through GDAL and held for the picture.
        std::vector<std::vector<uint8_t>> held;
        auto colour = [&held](const std::string& file) {
            TRasterReader reader(file);
            vips::VImage image;
            if (reader.Gdal() != nullptr && vips_foreign_find_load(file.c_str()) == nullptr) {
                vips_error_clear();
                reader.RequireEngineType();
                std::vector<uint8_t>& pixels =
                    held.emplace_back(reader.RowBytes() * static_cast<size_t>(reader.Height()));
                reader.Read(0, reader.Height(), pixels.data());
                image = vips::VImage::new_from_memory(
                    pixels.data(), pixels.size(), static_cast<int>(reader.Width()),
                    static_cast<int>(reader.Height()), reader.Bands(), VipsFormatOf(reader.Type()));
            } else {
                image = vips::VImage::new_from_file(
                    file.c_str(), vips::VImage::option()->set("fail_on", VIPS_FAIL_ON_ERROR));
            }
            const int shown = std::min(3, reader.ColourBands());
            if (shown != image.bands())
                image = image.extract_band(0, vips::VImage::option()->set("n", shown));
            // Types a picture cannot hold are shown as floats over their type's range.
            const TSampleType type = reader.Type();
            if (ComparisonType(type) != type) {
                const double bottom = SampleBottom(type), span = SampleTop(type) - bottom;
                image = image.linear(1 / span, -bottom / span).cast(VIPS_FORMAT_FLOAT);
            }
            // The bands shown as the colour (or grey) they are, whatever the file called them.
            const bool wide = image.format() == VIPS_FORMAT_USHORT;
            const VipsInterpretation space =
                shown == 3 ? (wide ? VIPS_INTERPRETATION_RGB16 : VIPS_INTERPRETATION_sRGB)
                           : (wide ? VIPS_INTERPRETATION_GREY16 : VIPS_INTERPRETATION_B_W);
            return image.format() == VIPS_FORMAT_FLOAT
                       ? image
                       : image.copy(vips::VImage::option()->set("interpretation", space));
        };
        const vips::VImage left = colour(before);
        const double white = left.format() == VIPS_FORMAT_USHORT  ? 65535
                             : left.format() == VIPS_FORMAT_FLOAT ? 1
                                                                  : 255;
        const vips::VImage joined = left.join(colour(after), VIPS_DIRECTION_HORIZONTAL,
                                              vips::VImage::option()
                                                  ->set("expand", true)
                                                  ->set("shim", 8)
                                                  ->set("background", std::vector<double>{white}));
        SaveImage(joined, part.Part(), options.SaverOptions, options.Quality);
    } catch (const vips::VError& e) {
        throw std::runtime_error("cannot write " + part.Target() + ": " + VipsReason(e));
    }
}

} // namespace vt::host
