// The help texts.
#include "host/Help.h"

#include "stretch/StretchOptions.h"

#include <string>

namespace vt::host {

const char* const InfoHelp = R"(usage: veltrane info [--plugin PATH]
  loads the plug-in (default: Veltrane.so beside this program), registers it and shows the
  command it registered: menu, caption, description and command id.
)";

const char* StretchHelp() {
    static const std::string text =
        std::string(
            R"(usage: veltrane stretch IN OUT [--offset | --no-offset | --cancel] [options]
       veltrane stretch --out-dir DIR [--jobs N] [--pool] [--overwrite] [options] IN...
  stretches IN into OUT (PNG, JPEG, TIFF, WebP, ... as OUT's extension names; "out.jpg[Q=90]"
  passes options to the format's saver). Samples stay as stored (any of the engine's types, 1
  to 16 colour bands, alpha kept aside and put back unchanged; fully transparent pixels are
  left out of the statistics). IN may be any raster GDAL opens (GeoTIFF, VRT, ENVI, ERDAS
  Imagine, JPEG 2000, a subdataset such as HDF5:"f.h5"://path, a /vsizip/ path); GDAL then
  writes a TIFF OUT, keeping the raster's CRS, geotransform or GCPs, no-data, band descriptions,
  colour interpretation, metadata (not its statistics), tiling and compression, and the file's
  no-data value is --nodata unless another is given. Photographs go through libvips and keep
  their EXIF, XMP, IPTC and colour profile wherever OUT's format has a place for them. Every
  file is written under a part name and renamed when complete.
  --offset and --no-offset answer "Allow offset components?" (--cancel: nothing is written,
  exit status 1; without any of them the question is asked on the terminal).
  The engine's options:
)") + StretchOptionsHelp(2) +
        R"(  Output and running:
  --nodata none          use no no-data value, not even the file's (or the transform's)
  --of GTiff|COG         a raster GDAL reads: write OUT as a GeoTIFF (default) or as a
                         Cloud-Optimized GeoTIFF
  --overviews none|auto  a raster GDAL reads: auto (the default) builds a GeoTIFF's overviews
                         at the input's levels when it had them (averages, no-data left out),
                         and a COG's always; none builds none
  --co NAME=VALUE        a raster GDAL reads: a creation option of the GTiff or COG driver
                         (repeatable; COMPRESS=DEFLATE, TILED=YES, ...), over those the input
                         gives
  --compare FILE         also write the image before and after, side by side (first three
                         colour bands)
  --quality Q            JPEG and WebP quality, 1 to 100 (default 95; JPEG colour at full
                         resolution)
  --out-dir DIR          batch: write each IN into DIR under its own name
  --jobs N               batch: images read and written at once (1 to 256, default 1)
  --pool                 batch: one transform fitted to all images together
  --overwrite            batch: allow DIR to be IN's folder (the results replace the inputs)
  --quiet                no progress bar
  --verbose              show every warning of the image library
  --plugin [MODULE]      stretch through the plug-in module itself (MODULE: a .so or .dll;
                         default Veltrane.so beside this program), as an image editor would:
                         8-bit colour in memory, no engine options
  --row-align N          with --plugin: rows aligned to N bytes (1, 2, 4 or 8)
)";
    return text.c_str();
}

const char* const ApplyHelp =
    R"(usage: veltrane apply IN OUT --transform FILE [options]
       veltrane apply --out-dir DIR --transform FILE [--jobs N] [--overwrite] [options] IN...
  applies a transform saved by --save-transform to images of its band count and sample type,
  with no new statistics: the same bytes as the stretch that saved it.
  --transform FILE       the transform (JSON)
  --nodata V             pixels whose bands all equal V pass unchanged (default: the
                         transform's own no-data value, else the file's)
  --nodata none          neither the transform's nor the file's no-data value
  --to-type T            apply it to images of samples of type T (uint8, uint16, float32, int8,
                         int16, int32, uint32, float64) instead of its own: each sample keeps
                         its place between its type's bottom and top (0 and 1 for floats), so
                         a uint8 transform maps a uint16 image's 257 x to 257 y
  --compare FILE, --quality Q, --threads N, --out-dir DIR, --jobs N, --overwrite, --quiet,
  --verbose, --of GTiff|COG, --co NAME=VALUE, --overviews none|auto
                         as for stretch
)";

const char* const GalleryHelp =
    R"(usage: veltrane gallery IN OUT [--tile-width N] [--sample X,Y,W,H] [--mask FILE]
                        [--every K] [--quality Q]
  writes OUT (JPEG, PNG, ... as its extension names): IN, 8- or 16-bit with three colour
  bands, under sixteen stretch settings (the last row in CIE L*a*b*), four tiles across and
  four down, each labelled with the options of veltrane stretch that produce it.
  --tile-width N         the width of a tile, 32 to 2000 (default 400)
  --sample, --mask, --every
                         the pixels of every fit's statistics, as in veltrane stretch
  --quality Q            as for stretch
)";

const char* const ServeHelp =
    R"(usage: veltrane serve [--port N] [--address A] [--root DIR]
  serves the web page (the stretch in the browser; images never leave the device) over HTTP
  until interrupted.
  --port N               the port (default 8080; 0 picks a free port)
  --address A            default 127.0.0.1, this machine only; 0.0.0.0 makes the page
                         reachable from the network and prints each of this machine's
                         addresses to open on a phone (offline use and installing the page
                         need HTTPS or localhost: publish the page's folder on an HTTPS host)
  --root DIR             the page's folder (default: $VELTRANE_WEB, else web/page of the
                         build or share/veltrane/web of the installation)
)";

const char* MainHelp() {
    static const std::string text =
        std::string("usage: veltrane <command> [options]\n"
                    "       veltrane --help | --version\n\n"
                    "commands: info, stretch, apply, gallery, serve ('veltrane COMMAND --help' "
                    "shows one)\n\n") +
        InfoHelp + "\n" + StretchHelp() + "\n" + ApplyHelp + "\n" + GalleryHelp + "\n" + ServeHelp +
        "\nexit status: 0 done, 1 the plug-in did nothing or the question was cancelled, "
        "2 error\n";
    return text.c_str();
}

} // namespace vt::host
