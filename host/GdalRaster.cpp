// Rasters through GDAL: which files GDAL opens, strips read through RasterIO, and GeoTIFF or
// Cloud-Optimized GeoTIFF outputs that keep what the input raster carries.
#include "host/GdalRaster.h"

#include "host/ImageFile.h"
#include "host/Raster.h"
#include "platform/Interrupt.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal.h>

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

namespace vt::host {

namespace {

// ---- GDAL's state and errors ---------------------------------------------------------------

// GDAL's messages outside any TGdalErrors scope (a dataset closed as its owner goes) are kept
// as the host's warnings are rather than printed.
void CPL_STDCALL KeepGdalMessage(CPLErr level, CPLErrorNum, const char* message) {
    if (level >= CE_Warning && message != nullptr)
        KeepWarning(std::string("GDAL: ") + message);
}

void StartGdal() {
    static std::once_flag started;
    std::call_once(started, [] {
        CPLSetErrorHandler(KeepGdalMessage);
        GDALAllRegister();
        // Strips of rows pass through GDAL's block cache once: a few blocks' worth serves,
        // whatever the raster's size (HoldRows raises it for wide rasters), unless the user
        // sets GDAL_CACHEMAX.
        if (std::getenv("GDAL_CACHEMAX") == nullptr)
            GDALSetCacheMax64(GIntBig{32} << 20);
    });
}

// Makes GDAL's block cache hold Rows rows of RowBytes bytes besides some room: a row of blocks
// across a raster, so that a strip shorter than its blocks does not decode them again. The
// cache only grows, for the whole process, and not past the user's GDAL_CACHEMAX.
void HoldRows(int64_t rows, int64_t rowBytes) {
    static std::mutex lock;
    if (std::getenv("GDAL_CACHEMAX") != nullptr)
        return;
    const GIntBig want = static_cast<GIntBig>(rows) * rowBytes + (GIntBig{16} << 20);
    std::lock_guard<std::mutex> hold(lock);
    if (want > GDALGetCacheMax64())
        GDALSetCacheMax64(want);
}

// The height of a band's blocks.
int BlockRows(GDALRasterBandH band) {
    int width = 0, height = 0;
    GDALGetBlockSize(band, &width, &height);
    return std::max(height, 1);
}

// GDAL's messages on this thread while the scope lives: the first failure and the first
// warning are kept for the exception, and unless Quiet every warning is kept as the host's
// warnings are (shown with a failure, or all with --verbose).
class TGdalErrors {
public:
    explicit TGdalErrors(bool quiet = false) : Quiet(quiet) { CPLPushErrorHandlerEx(Handle, this); }
    ~TGdalErrors() { CPLPopErrorHandler(); }
    TGdalErrors(const TGdalErrors&) = delete;
    TGdalErrors& operator=(const TGdalErrors&) = delete;

    std::string Failure, Warning;
    bool Quiet;
    std::string Reason(const char* otherwise = "GDAL failed") const {
        return !Failure.empty() ? Failure : !Warning.empty() ? Warning : otherwise;
    }

private:
    static void CPL_STDCALL Handle(CPLErr level, CPLErrorNum, const char* message) {
        auto* self = static_cast<TGdalErrors*>(CPLGetErrorHandlerUserData());
        const std::string text = message != nullptr ? message : "";
        if (level >= CE_Failure) {
            if (self->Failure.empty())
                self->Failure = text;
        } else if (level == CE_Warning) {
            if (self->Warning.empty())
                self->Warning = text;
            if (!self->Quiet)
                KeepWarning("GDAL: " + text);
        }
    }
};

// A dataset closed when its owner goes.
struct TDataset {
    GDALDatasetH Handle = nullptr;
    TDataset() = default;
    explicit TDataset(GDALDatasetH handle) : Handle(handle) {}
    ~TDataset() { Close(); }
    TDataset(const TDataset&) = delete;
    TDataset& operator=(const TDataset&) = delete;
    void Close() {
        if (Handle != nullptr)
            GDALClose(Handle);
        Handle = nullptr;
    }
};

// GDAL's auxiliary files (.aux.xml) are not written beside outputs created, described or
// closed while the scope lives on this thread: everything an output carries goes into the TIFF
// itself, and nothing is left beside a part file. (Only around those calls: the input's own
// auxiliary files, read as its sources open, still count.)
class TNoAuxiliaryFiles {
public:
    TNoAuxiliaryFiles() {
        const char* before = CPLGetThreadLocalConfigOption("GDAL_PAM_ENABLED", nullptr);
        Had = before != nullptr;
        if (Had)
            Before = before;
        CPLSetThreadLocalConfigOption("GDAL_PAM_ENABLED", "NO");
    }
    ~TNoAuxiliaryFiles() {
        CPLSetThreadLocalConfigOption("GDAL_PAM_ENABLED", Had ? Before.c_str() : nullptr);
    }
    TNoAuxiliaryFiles(const TNoAuxiliaryFiles&) = delete;
    TNoAuxiliaryFiles& operator=(const TNoAuxiliaryFiles&) = delete;

private:
    bool Had = false;
    std::string Before;
};

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool StartsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// ---- Which library opens a file ------------------------------------------------------------

// GDAL's drivers of photographs' formats: libvips reads these, with their EXIF, XMP, IPTC and
// colour profile.
const char* const PhotoDrivers[] = {"JPEG", "PNG", "WEBP", "GIF",   "BIGGIF",
                                    "HEIF", "BMP", "PNM",  "JPEGXL"};

// A GDAL dataset name rather than a file: DRIVER:..., as subdatasets are named
// (HDF5:"file.h5"://path, NETCDF:"file.nc":var, GTIFF_DIR:2:file.tif).
bool IsDatasetName(const std::string& path) {
    const size_t colon = path.find(':');
    if (colon == std::string::npos || colon < 2)
        return false;
    for (size_t i = 0; i < colon; ++i)
        if (!std::isalnum(static_cast<unsigned char>(path[i])) && path[i] != '_')
            return false;
    std::error_code error;
    return !std::filesystem::exists(path, error);
}

// Whether a TIFF carries what GDAL reads and libvips does not: georeferencing (a geotransform,
// GCPs, a CRS, RPCs), a no-data value, GDAL's metadata or band descriptions, the layout of a
// Cloud-Optimized GeoTIFF, or samples other than a photograph's (uint8, uint16, float32).
bool GeospatialTiff(const std::string& path) {
    TGdalErrors quiet(true); // a look only: libvips may read it
    TDataset ds(
        GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
    if (ds.Handle == nullptr)
        return false; // libvips says what is wrong with it
    double transform[6];
    if (GDALGetGeoTransform(ds.Handle, transform) == CE_None || GDALGetGCPCount(ds.Handle) > 0 ||
        GDALGetSpatialRef(ds.Handle) != nullptr || GDALGetMetadata(ds.Handle, "RPC") != nullptr)
        return true;
    const char* layout = GDALGetMetadataItem(ds.Handle, "LAYOUT", "IMAGE_STRUCTURE");
    if (layout != nullptr && Upper(layout) == "COG")
        return true;
    if (GDALGetRasterCount(ds.Handle) > 0) {
        GDALRasterBandH first = GDALGetRasterBand(ds.Handle, 1);
        const GDALDataType type = GDALGetRasterDataType(first);
        const char* pixel = GDALGetMetadataItem(first, "PIXELTYPE", "IMAGE_STRUCTURE");
        if ((type != GDT_Byte && type != GDT_UInt16 && type != GDT_Float32) ||
            (pixel != nullptr && std::strcmp(pixel, "SIGNEDBYTE") == 0))
            return true;
    }
    for (CSLConstList item = GDALGetMetadata(ds.Handle, nullptr);
         item != nullptr && *item != nullptr; ++item)
        if (!StartsWith(*item, "TIFFTAG_"))
            return true;
    for (int b = 1; b <= GDALGetRasterCount(ds.Handle); ++b) {
        GDALRasterBandH band = GDALGetRasterBand(ds.Handle, b);
        int has = 0;
        GDALGetRasterNoDataValue(band, &has);
        const char* description = GDALGetDescription(band);
        if (has != 0 || (description != nullptr && *description != '\0') ||
            GDALGetMetadata(band, nullptr) != nullptr)
            return true;
    }
    return false;
}

} // namespace

bool OpensWithGdal(const std::string& path) {
    StartGdal();
    if (StartsWith(path, "/vsi") || IsDatasetName(path))
        return true;
    GDALDriverH driver;
    std::string failure;
    {
        TGdalErrors errors(true);
        driver = GDALIdentifyDriverEx(path.c_str(), GDAL_OF_RASTER, nullptr, nullptr);
        failure = errors.Failure;
    }
    if (driver == nullptr) {
        if (!failure.empty())
            throw std::runtime_error("cannot read " + path + ": " + failure);
        return false;
    }
    const std::string name = GDALGetDriverShortName(driver);
    for (const char* photo : PhotoDrivers)
        if (name == photo)
            return false;
    if (name == "GTiff" || name == "COG")
        return GeospatialTiff(path);
    return true;
}

std::string BatchName(const std::string& in) {
    const std::filesystem::path file = std::filesystem::path(in).filename();
    bool gdal = false;
    try {
        gdal = OpensWithGdal(in);
    } catch (const std::exception&) {
        // the input's own failure is reported when it is read
    }
    if (!gdal || IsTiffName(in))
        return file.string();
    if (!IsDatasetName(in))
        return file.stem().string() + ".tif";
    // DRIVER:"path/file.ext":name, DRIVER:path:name or DRIVER:"path"://group/name: the file's
    // stem and the part after it, whatever GDAL's syntax, as letters, digits, '-' and '_'.
    std::string rest = in.substr(in.find(':') + 1);
    std::string path = rest, name;
    if (!rest.empty() && rest[0] == '"') {
        const size_t close = rest.find('"', 1);
        path = rest.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        name = close == std::string::npos ? "" : rest.substr(close + 1);
    } else if (const size_t colon = rest.rfind(':'); colon != std::string::npos) {
        path = rest.substr(0, colon);
        name = rest.substr(colon + 1);
    }
    std::string out = std::filesystem::path(path).stem().string();
    bool gap = !out.empty();
    for (const char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') {
            if (gap)
                out += '_';
            out += c;
            gap = false;
        } else {
            gap = !out.empty();
        }
    }
    return (out.empty() ? std::string("raster") : out) + ".tif";
}

// ---- Reading -------------------------------------------------------------------------------

struct TGdalReader::TState {
    std::string Path;
    bool Mask = false;
    TDataset Dataset;
    int64_t Width = 0, Height = 0;
    int Bands = 0;
    GDALDataType Type = GDT_Byte;
    std::string TypeName;
    bool Engine = false;
    TSampleType Sample = TSampleType::UInt8;
    bool Alpha = false, Rgb = false;
    bool HasNoData = false;
    double NoData = 0;
    std::string NoDataNote;
    int64_t Next = 0;
    std::vector<double> MaskRows;

    // GDAL's reasons often begin with the name, which the message gives once.
    [[noreturn]] void Fail(const std::string& reason) const {
        const bool named = reason.rfind(Path + ": ", 0) == 0;
        throw std::runtime_error("cannot read " + Path + ": " +
                                 (named ? reason.substr(Path.size() + 2) : reason));
    }
    GDALRasterBandH Band(int b) const { return GDALGetRasterBand(Dataset.Handle, b); }
    void Open();
    void Describe();
    void FindNoData();
};

namespace {

const char* GdalTypeName(GDALDataType type, bool signedByte) {
    switch (type) {
    case GDT_Byte:
        return signedByte ? "int8" : "uint8";
    case GDT_UInt16:
        return "uint16";
    case GDT_Int16:
        return "int16";
    case GDT_UInt32:
        return "uint32";
    case GDT_Int32:
        return "int32";
    case GDT_UInt64:
        return "uint64";
    case GDT_Int64:
        return "int64";
    case GDT_Float32:
        return "float32";
    case GDT_Float64:
        return "float64";
    case GDT_CInt16:
        return "complex int16";
    case GDT_CInt32:
        return "complex int32";
    case GDT_CFloat32:
        return "complex64";
    case GDT_CFloat64:
        return "complex128";
    default:
        return "unknown";
    }
}

// Whether a VRT's bands come from files of signed bytes: GDAL's VRT (before its Int8 type)
// reads them as unsigned bytes and says nothing.
bool SignedByteSources(GDALDatasetH ds) {
    GDALDriverH driver = GDALGetDatasetDriver(ds);
    if (driver == nullptr || std::strcmp(GDALGetDriverShortName(driver), "VRT") != 0)
        return false;
    char** files = GDALGetFileList(ds);
    bool found = false;
    for (int i = 1; files != nullptr && files[i] != nullptr && !found; ++i) {
        TGdalErrors quiet(true);
        TDataset source(
            GDALOpenEx(files[i], GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
        if (source.Handle == nullptr || GDALGetRasterCount(source.Handle) < 1)
            continue;
        const char* pixel = GDALGetMetadataItem(GDALGetRasterBand(source.Handle, 1), "PIXELTYPE",
                                                "IMAGE_STRUCTURE");
        found = pixel != nullptr && std::strcmp(pixel, "SIGNEDBYTE") == 0;
    }
    CSLDestroy(files);
    return found;
}

// A few of a container's subdatasets by their GDAL names, for a message.
std::string SubdatasetNames(GDALDatasetH ds) {
    std::string names;
    int shown = 0, count = 0;
    for (CSLConstList item = GDALGetMetadata(ds, "SUBDATASETS");
         item != nullptr && *item != nullptr; ++item) {
        const std::string entry = *item;
        const size_t equals = entry.find("_NAME=");
        if (equals == std::string::npos)
            continue;
        ++count;
        if (shown++ < 3)
            names += (names.empty() ? "" : ", ") + entry.substr(equals + 6);
    }
    if (count > shown)
        names += ", ...";
    return names;
}

} // namespace

void TGdalReader::TState::Open() {
    StartGdal();
    TGdalErrors errors;
    Dataset.Close();
    Dataset.Handle =
        GDALOpenEx(Path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR, nullptr,
                   nullptr, nullptr);
    if (Dataset.Handle == nullptr)
        Fail(errors.Reason("GDAL cannot open it"));
    Next = 0;
}

void TGdalReader::TState::Describe() {
    GDALDatasetH ds = Dataset.Handle;
    Width = GDALGetRasterXSize(ds);
    Height = GDALGetRasterYSize(ds);
    Bands = GDALGetRasterCount(ds);
    if (Bands < 1) {
        const std::string names = SubdatasetNames(ds);
        Fail(names.empty() ? "it holds no raster bands"
                           : "it holds subdatasets rather than bands; name one of them: " + names);
    }
    // The samples: every band's type alike, or a mixture the engine cannot take.
    Type = GDALGetRasterDataType(Band(1));
    const char* pixelType = GDALGetMetadataItem(Band(1), "PIXELTYPE", "IMAGE_STRUCTURE");
    const bool signedByte = pixelType != nullptr && std::strcmp(pixelType, "SIGNEDBYTE") == 0;
    TypeName = GdalTypeName(Type, signedByte);
    bool mixed = false;
    for (int b = 2; b <= Bands; ++b)
        if (GDALGetRasterDataType(Band(b)) != Type) {
            mixed = true;
            TypeName = std::string("mixed ") + TypeName + " and " +
                       GdalTypeName(GDALGetRasterDataType(Band(b)), false);
            break;
        }
    if (Type == GDT_Byte && !signedByte && SignedByteSources(ds))
        Fail("its bands come from signed bytes (PIXELTYPE=SIGNEDBYTE), which this GDAL's "
             "VRT reads as unsigned; stretch the sources, or a GeoTIFF made from them with "
             "gdal_translate -co PIXELTYPE=SIGNEDBYTE");
    Engine = !mixed;
    switch (Type) {
    case GDT_Byte:
        Sample = signedByte ? TSampleType::Int8 : TSampleType::UInt8;
        break;
    case GDT_UInt16:
        Sample = TSampleType::UInt16;
        break;
    case GDT_Int16:
        Sample = TSampleType::Int16;
        break;
    case GDT_UInt32:
        Sample = TSampleType::UInt32;
        break;
    case GDT_Int32:
        Sample = TSampleType::Int32;
        break;
    case GDT_Float32:
        Sample = TSampleType::Float32;
        break;
    case GDT_Float64:
        Sample = TSampleType::Float64;
        break;
    default: // 64-bit integers and complex samples
        Engine = false;
        break;
    }
    if (Mask) {
        Bands = 1;
        TypeName = "uint8";
        Engine = true;
        Sample = TSampleType::UInt8;
        return;
    }
    HoldRows(BlockRows(Band(1)), Width * Bands * GDALGetDataTypeSizeBytes(Type));
    Alpha = Bands >= 2 && GDALGetRasterColorInterpretation(Band(Bands)) == GCI_AlphaBand;
    Rgb = Bands >= 3 && GDALGetRasterColorInterpretation(Band(1)) == GCI_RedBand &&
          GDALGetRasterColorInterpretation(Band(2)) == GCI_GreenBand &&
          GDALGetRasterColorInterpretation(Band(3)) == GCI_BlueBand;
    FindNoData();
}

void TGdalReader::TState::FindNoData() {
    const int colour = Bands - (Alpha ? 1 : 0);
    int with = 0;
    double value = 0;
    bool differ = false;
    for (int b = 1; b <= colour; ++b) {
        int has = 0;
        const double v = GDALGetRasterNoDataValue(Band(b), &has);
        if (has == 0)
            continue;
        if (with++ == 0)
            value = v;
        else if (!(v == value || (std::isnan(v) && std::isnan(value))))
            differ = true;
    }
    if (with == 0)
        return;
    char shown[32];
    std::snprintf(shown, sizeof shown, "%.9g", value);
    if (differ || with != colour) {
        NoDataNote = "its bands' no-data values differ; --nodata V chooses one for all";
        return;
    }
    // Float samples that are not finite numbers never count and pass unchanged anyway.
    if (!Engine || (IsFloatSample(Sample) && std::isnan(value)))
        return;
    bool holds = std::isfinite(value);
    if (holds && !IsFloatSample(Sample))
        holds = value == std::floor(value) && value >= SampleBottom(Sample) &&
                value <= SampleTop(Sample);
    else if (holds && Sample == TSampleType::Float32)
        holds =
            std::fabs(value) <= FLT_MAX && static_cast<double>(static_cast<float>(value)) == value;
    if (!holds) {
        NoDataNote = std::string("its no-data value ") + shown + " is not one of its " + TypeName +
                     " samples' values; no pixel is left out for it";
        return;
    }
    HasNoData = true;
    NoData = value;
}

TGdalReader::TGdalReader(const std::string& path, bool mask) : Data(std::make_unique<TState>()) {
    Data->Path = path;
    Data->Mask = mask;
    Data->Open();
    TGdalErrors errors;
    Data->Describe();
}

TGdalReader::~TGdalReader() = default;

int64_t TGdalReader::Width() const noexcept {
    return Data->Width;
}
int64_t TGdalReader::Height() const noexcept {
    return Data->Height;
}
int TGdalReader::Bands() const noexcept {
    return Data->Bands;
}
bool TGdalReader::Alpha() const noexcept {
    return Data->Alpha;
}
const char* TGdalReader::TypeName() const noexcept {
    return Data->TypeName.c_str();
}
bool TGdalReader::EngineType(TSampleType& type) const noexcept {
    type = Data->Sample;
    return Data->Engine;
}
bool TGdalReader::NoData(double& value) const noexcept {
    value = Data->NoData;
    return Data->HasNoData;
}
const std::string& TGdalReader::NoDataNote() const noexcept {
    return Data->NoDataNote;
}
bool TGdalReader::Rgb() const noexcept {
    return Data->Rgb;
}

void TGdalReader::Restart() {
    Data->Next = 0;
}

void TGdalReader::Read(int64_t y, int64_t rows, uint8_t* buffer) {
    TState& s = *Data;
    if (y != s.Next || rows < 1 || y + rows > s.Height)
        throw std::logic_error("rows read out of order");
    if (!s.Engine)
        s.Fail(std::string(s.TypeName) + " samples are not supported yet");
    TGdalErrors errors;
    const int width = static_cast<int>(s.Width);
    if (s.Mask) {
        s.MaskRows.resize(static_cast<size_t>(s.Width) * static_cast<size_t>(rows));
        if (GDALRasterIO(s.Band(1), GF_Read, 0, static_cast<int>(y), width, static_cast<int>(rows),
                         s.MaskRows.data(), width, static_cast<int>(rows), GDT_Float64, 0,
                         0) != CE_None)
            s.Fail(errors.Reason());
        for (size_t i = 0; i < s.MaskRows.size(); ++i)
            buffer[i] = s.MaskRows[i] != 0 ? 255 : 0;
    } else {
        const GSpacing size = static_cast<GSpacing>(SampleBytes(s.Sample));
        const GSpacing pixel = size * s.Bands;
        if (GDALDatasetRasterIOEx(s.Dataset.Handle, GF_Read, 0, static_cast<int>(y), width,
                                  static_cast<int>(rows), buffer, width, static_cast<int>(rows),
                                  s.Type, s.Bands, nullptr, pixel, pixel * s.Width, size,
                                  nullptr) != CE_None)
            s.Fail(errors.Reason());
    }
    s.Next = y + rows;
}

// ---- Writing -------------------------------------------------------------------------------

namespace {

// The compressions an output keeps from its input: the lossless ones (a lossy one would
// degrade the stretched samples a second time).
bool LosslessCompression(const std::string& name) {
    for (const char* lossless :
         {"LZW", "DEFLATE", "ZSTD", "LZMA", "PACKBITS", "LERC_DEFLATE", "LERC_ZSTD"})
        if (name == lossless)
            return true;
    return false;
}

bool FromTiff(GDALDatasetH ds) {
    GDALDriverH driver = GDALGetDatasetDriver(ds);
    const std::string name = driver != nullptr ? GDALGetDriverShortName(driver) : "";
    return name == "GTiff" || name == "COG";
}

// The driver's creation options that keep the input's compression and tiling and describe
// its bands; the user's options (NAME=VALUE) replace any of them.
CPLStringList CreationOptions(const TGdalReader& like, bool cog,
                              const std::vector<std::string>& user) {
    CPLStringList options;
    GDALDatasetH in = like.State().Dataset.Handle;
    if (FromTiff(in)) {
        const char* compression = GDALGetMetadataItem(in, "COMPRESSION", "IMAGE_STRUCTURE");
        if (compression != nullptr && LosslessCompression(compression)) {
            options.SetNameValue("COMPRESS", compression);
            const char* predictor = GDALGetMetadataItem(in, "PREDICTOR", "IMAGE_STRUCTURE");
            if (predictor != nullptr &&
                (std::strcmp(predictor, "2") == 0 || std::strcmp(predictor, "3") == 0))
                options.SetNameValue("PREDICTOR", predictor);
        }
        int blockWidth = 0, blockHeight = 0;
        GDALGetBlockSize(GDALGetRasterBand(in, 1), &blockWidth, &blockHeight);
        // Strips span the width; tiles (multiples of 16) seldom do, and may reach past it.
        const bool tiled = blockWidth != like.Width() && blockWidth % 16 == 0 &&
                           blockHeight % 16 == 0 && blockWidth > 0 && blockHeight > 0;
        if (tiled && cog && blockWidth == blockHeight) {
            options.SetNameValue("BLOCKSIZE", std::to_string(blockWidth).c_str());
        } else if (tiled && !cog) {
            options.SetNameValue("TILED", "YES");
            options.SetNameValue("BLOCKXSIZE", std::to_string(blockWidth).c_str());
            options.SetNameValue("BLOCKYSIZE", std::to_string(blockHeight).c_str());
        }
    }
    if (!cog) {
        options.SetNameValue("PHOTOMETRIC", like.Rgb() ? "RGB" : "MINISBLACK");
        options.SetNameValue("BIGTIFF", "IF_SAFER");
    }
    for (const std::string& option : user) {
        const size_t equals = option.find('=');
        options.SetNameValue(option.substr(0, equals).c_str(), option.substr(equals + 1).c_str());
    }
    return options;
}

// The metadata of one domain without the items that describe the input's values (its
// statistics), or null when nothing is left. The caller destroys the list.
char** WithoutStatistics(CSLConstList items) {
    char** kept = nullptr;
    for (CSLConstList item = items; item != nullptr && *item != nullptr; ++item)
        if (!StartsWith(*item, "STATISTICS_"))
            kept = CSLAddString(kept, *item);
    return kept;
}

// Copies every metadata domain but the input's layout and subdatasets, less statistics.
void CopyMetadata(GDALMajorObjectH from, GDALMajorObjectH to) {
    char** domains = GDALGetMetadataDomainList(from);
    bool sawDefault = false;
    auto copy = [&](const char* domain) {
        const std::string name = domain;
        if (name == "IMAGE_STRUCTURE" || name == "DERIVED_SUBDATASETS" || name == "SUBDATASETS")
            return;
        char** kept = StartsWith(name, "xml:") ? CSLDuplicate(GDALGetMetadata(from, domain))
                                               : WithoutStatistics(GDALGetMetadata(from, domain));
        if (kept != nullptr)
            GDALSetMetadata(to, kept, domain);
        CSLDestroy(kept);
    };
    for (char** d = domains; d != nullptr && *d != nullptr; ++d) {
        sawDefault = sawDefault || **d == '\0';
        copy(*d);
    }
    if (!sawDefault)
        copy("");
    CSLDestroy(domains);
}

// What the raster carries besides its pixels: georeferencing (a geotransform and CRS, or
// GCPs), metadata, and each band's description, no-data value and colour interpretation. The
// bands' scale, offset and unit describe the input's values and are left out.
void CopyCarried(GDALDatasetH in, GDALDatasetH out) {
    // A GeoTIFF holds a geotransform or GCPs, not both: GCPs would clear the transform.
    double transform[6];
    const bool transformed = GDALGetGeoTransform(in, transform) == CE_None;
    if (transformed)
        GDALSetGeoTransform(out, transform);
    if (OGRSpatialReferenceH crs = GDALGetSpatialRef(in))
        GDALSetSpatialRef(out, crs);
    if (!transformed && GDALGetGCPCount(in) > 0)
        GDALSetGCPs2(out, GDALGetGCPCount(in), GDALGetGCPs(in), GDALGetGCPSpatialRef(in));
    CopyMetadata(in, out);
    for (int b = 1; b <= GDALGetRasterCount(out); ++b) {
        GDALRasterBandH from = GDALGetRasterBand(in, b), to = GDALGetRasterBand(out, b);
        const char* description = GDALGetDescription(from);
        if (description != nullptr && *description != '\0')
            GDALSetDescription(to, description);
        int has = 0;
        const double noData = GDALGetRasterNoDataValue(from, &has);
        if (has != 0)
            GDALSetRasterNoDataValue(to, noData);
        const GDALColorInterp interpretation = GDALGetRasterColorInterpretation(from);
        if (interpretation != GCI_PaletteIndex &&
            interpretation != GDALGetRasterColorInterpretation(to))
            GDALSetRasterColorInterpretation(to, interpretation);
        CopyMetadata(from, to);
    }
}

// A file a GDAL driver writes beside an output for a while: removed when the scope ends, and
// on interrupt.
struct TScratchFile {
    std::string Path;
    platform::TRemoveOnInterrupt Registration;
    explicit TScratchFile(std::string path) : Path(std::move(path)), Registration(Path) {}
    ~TScratchFile() { std::remove(Path.c_str()); }
    TScratchFile(const TScratchFile&) = delete;
    TScratchFile& operator=(const TScratchFile&) = delete;
};

std::string CanonicalDriver(const std::string& name) {
    return Upper(name) == "COG" ? "COG" : "GTiff";
}

} // namespace

void CheckGdalOutput(const std::string& out, bool gdal, const TWriteOptions& options) {
    const bool asked =
        !options.Driver.empty() || !options.CreationOptions.empty() || options.NoOverviews;
    if (!gdal) {
        if (asked)
            throw EStretch("cannot write " + out +
                           ": --of, --co and --overviews write through GDAL, which writes the "
                           "rasters it reads (GeoTIFF, VRT, ENVI, ...); this input is read by "
                           "libvips");
        return;
    }
    if (!IsTiffName(out)) {
        if (asked)
            throw EStretch("cannot write " + out +
                           ": --of, --co and --overviews write a GeoTIFF; name the output .tif");
        return;
    }
    if (!options.SaverOptions.empty())
        throw EStretch("cannot write " + out +
                       ": GDAL writes this TIFF; give its options as "
                       "--co NAME=VALUE rather than " +
                       options.SaverOptions);
    StartGdal();
    const std::string name = CanonicalDriver(options.Driver);
    GDALDriverH driver = GDALGetDriverByName(name.c_str());
    if (driver == nullptr)
        throw EStretch("cannot write " + out + ": this GDAL has no " + name + " driver");
    CPLStringList user;
    for (const std::string& option : options.CreationOptions)
        user.AddString(option.c_str());
    TGdalErrors errors;
    if (GDALValidateCreationOptions(driver, user.List()) == FALSE)
        throw EStretch("cannot write " + out + ": " + errors.Reason("creation options refused"));
}

struct TGdalWriter::TState {
    std::string Target;
    const TGdalReader* Like = nullptr;
    TWriteOptions Options;
    bool Cog = false;
    std::string Final;                  // the part file the caller commits
    std::unique_ptr<TPartFile> Staging; // a COG's tiled GeoTIFF, before its copy
    TDataset Out;
    int64_t Row = 0;

    // GDAL's reasons name the part files; the user knows the target.
    [[noreturn]] void Fail(std::string reason) const {
        for (const std::string& part : {Final, Staging ? Staging->Part() : std::string()})
            for (size_t at; !part.empty() && (at = reason.find(part)) != std::string::npos;)
                reason.replace(at, part.size(), Target);
        throw std::runtime_error("cannot write " + Target + ": " + reason);
    }
};

TGdalWriter::TGdalWriter(const TPartFile& part, const TGdalReader& like,
                         const TWriteOptions& options)
    : Data(std::make_unique<TState>()) {
    StartGdal();
    TState& s = *Data;
    s.Target = part.Target();
    s.Final = part.Part();
    s.Like = &like;
    s.Options = options;
    s.Cog = CanonicalDriver(options.Driver) == "COG";
    TSampleType type;
    if (!like.EngineType(type))
        s.Fail(std::string(like.TypeName()) + " samples are not supported yet");
    std::string path = s.Final;
    CPLStringList creation;
    if (s.Cog) {
        // The strips arrive in order; the COG driver copies a complete raster with its
        // overviews. The staging GeoTIFF is tiled and compressed losslessly.
        s.Staging = std::make_unique<TPartFile>(part.Target());
        path = s.Staging->Part();
        creation.SetNameValue("TILED", "YES");
        creation.SetNameValue("BLOCKXSIZE", "512");
        creation.SetNameValue("BLOCKYSIZE", "512");
        creation.SetNameValue("COMPRESS", "LZW");
        creation.SetNameValue("BIGTIFF", "IF_SAFER");
        creation.SetNameValue("PHOTOMETRIC", like.Rgb() ? "RGB" : "MINISBLACK");
    } else {
        creation = CreationOptions(like, false, options.CreationOptions);
    }
    // GDAL holds int8 samples as bytes that the GeoTIFF marks signed.
    if (type == TSampleType::Int8)
        creation.SetNameValue("PIXELTYPE", "SIGNEDBYTE");
    TGdalErrors errors;
    TNoAuxiliaryFiles noAuxiliary;
    GDALDriverH gtiff = GDALGetDriverByName("GTiff");
    GDALDatasetH in = like.State().Dataset.Handle;
    s.Out.Handle = GDALCreate(gtiff, path.c_str(), static_cast<int>(like.Width()),
                              static_cast<int>(like.Height()), like.Bands(),
                              GDALGetRasterDataType(GDALGetRasterBand(in, 1)), creation.List());
    if (s.Out.Handle == nullptr)
        s.Fail(errors.Reason());
    CopyCarried(in, s.Out.Handle);
    if (!errors.Failure.empty())
        s.Fail(errors.Failure);
    // A row of the input's blocks and a row of the output's, which fill strip by strip.
    HoldRows(BlockRows(GDALGetRasterBand(in, 1)) + BlockRows(GDALGetRasterBand(s.Out.Handle, 1)),
             static_cast<int64_t>(like.Width()) * like.Bands() *
                 static_cast<int64_t>(SampleBytes(type)));
}

TGdalWriter::~TGdalWriter() {
    // A failure's datasets close quietly before the part files go.
    TGdalErrors quiet(true);
    TNoAuxiliaryFiles noAuxiliary;
    Data->Out.Close();
}

void TGdalWriter::Write(const uint8_t* rows, int64_t count) {
    TState& s = *Data;
    TGdalErrors errors;
    TSampleType type;
    s.Like->EngineType(type);
    const GSpacing size = static_cast<GSpacing>(SampleBytes(type));
    const GSpacing pixel = size * s.Like->Bands();
    const int width = static_cast<int>(s.Like->Width());
    if (GDALDatasetRasterIOEx(
            s.Out.Handle, GF_Write, 0, static_cast<int>(s.Row), width, static_cast<int>(count),
            const_cast<uint8_t*>(rows), width, static_cast<int>(count),
            GDALGetRasterDataType(GDALGetRasterBand(s.Out.Handle, 1)), s.Like->Bands(), nullptr,
            pixel, pixel * width, size, nullptr) != CE_None)
        s.Fail(errors.Reason());
    s.Row += count;
}

void TGdalWriter::Finish() {
    TState& s = *Data;
    TGdalErrors errors;
    TNoAuxiliaryFiles noAuxiliary;
    // A GeoTIFF gets overviews at the input's levels when the input had them (the COG driver
    // builds its own); they average the stretched pixels, no-data left out.
    std::vector<int> levels;
    GDALRasterBandH first = GDALGetRasterBand(s.Like->State().Dataset.Handle, 1);
    for (int i = 0; !s.Cog && !s.Options.NoOverviews && i < GDALGetOverviewCount(first); ++i) {
        const int width = GDALGetRasterBandXSize(GDALGetOverview(first, i));
        if (width > 0)
            levels.push_back(static_cast<int>(
                std::lround(static_cast<double>(s.Like->Width()) / static_cast<double>(width))));
    }
    std::sort(levels.begin(), levels.end());
    levels.erase(std::unique(levels.begin(), levels.end()), levels.end());
    levels.erase(std::remove_if(levels.begin(), levels.end(), [](int l) { return l < 2; }),
                 levels.end());
    if (!levels.empty() &&
        GDALBuildOverviews(s.Out.Handle, "AVERAGE", static_cast<int>(levels.size()), levels.data(),
                           0, nullptr, nullptr, nullptr) != CE_None)
        s.Fail(errors.Reason());
    GDALFlushCache(s.Out.Handle);
    s.Out.Close();
    if (!errors.Failure.empty())
        s.Fail(errors.Failure);
    if (!s.Cog)
        return;
    TDataset staged(GDALOpenEx(s.Staging->Part().c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY,
                               nullptr, nullptr, nullptr));
    if (staged.Handle == nullptr)
        s.Fail(errors.Reason());
    CPLStringList creation = CreationOptions(*s.Like, true, s.Options.CreationOptions);
    if (s.Options.NoOverviews)
        creation.SetNameValue("OVERVIEWS", "NONE");
    // The COG driver builds the overviews (and those of a mask) beside its output first.
    const TScratchFile overviews(s.Final + ".ovr.tmp"), maskOverviews(s.Final + ".msk.ovr.tmp");
    TDataset copy(GDALCreateCopy(GDALGetDriverByName("COG"), s.Final.c_str(), staged.Handle, FALSE,
                                 creation.List(), nullptr, nullptr));
    if (copy.Handle == nullptr)
        s.Fail(errors.Reason());
    copy.Close();
    staged.Close();
    if (!errors.Failure.empty())
        s.Fail(errors.Failure);
    s.Staging.reset();
}

} // namespace vt::host
