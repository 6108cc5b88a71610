/* The plug-in's contract with its host: the two exported functions, the host callback and the
 * records that pass between them. Plain C, so that a host in any language can include it.
 *
 * Layout: in the 32-bit Windows build every field is 4 bytes, little-endian, no padding:
 * TPluginCommand is 16 bytes and THostImage 24. In the 64-bit Linux build the pointers are
 * 8 bytes: TPluginCommand is Menu@0, Caption@8, Description@16, CommandId@24 (32 bytes with
 * tail padding) and THostImage is the four integers @0..12, Map@16, Palette@24 (32 bytes).
 */
#ifndef VELTRANE_PLUGIN_H
#define VELTRANE_PLUGIN_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define VT_STDCALL __stdcall
#else
#define VT_STDCALL
#endif

#if defined(__GNUC__) && !defined(_WIN32)
#define VT_PLUGIN_EXPORT __attribute__((visibility("default")))
#else
#define VT_PLUGIN_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Callback codes the plug-in uses. */
#define VT_CALLBACK_REGISTER_COMMAND 1 /* Data: TPluginCommand*; the result is RegisterPlugin's */
#define VT_CALLBACK_GET_OWNER_WINDOW 4 /* Data: int32_t* to receive the owner window handle */

/* Supplied by the host; standard Win32 calling convention in the 32-bit build. */
typedef int32_t(VT_STDCALL* THostCallback)(int32_t Code, void* Data);

/* The command the plug-in registers; valid only during the callback. */
typedef struct TPluginCommand {
    const char* Menu;        /* "Plugins" */
    const char* Caption;     /* "Veltrane" */
    const char* Description; /* one-line description of the command */
    int32_t CommandId;       /* 1: the number ProcessImage expects */
} TPluginCommand;

/* The host's image; the plug-in reads the record and reads and writes the pixels. */
typedef struct THostImage {
    int32_t Width;        /* pixels per row */
    int32_t Height;       /* number of rows */
    int32_t BytesPerLine; /* bytes from one row's first byte to the next row's */
    int32_t PixelSize;    /* 1 = 8-bit paletted, 3 = 24-bit (blue, green, red), 4 = 32-bit */
    void* Map;            /* first byte of the top row */
    void* Palette;        /* 256 entries of blue, green, red for 8-bit images, or null */
} THostImage;

/* Results of ProcessImage. */
#define VT_PROCESSED 0 /* the image was processed */
#define VT_NOT_DONE 1  /* nothing was done; the pixels are unchanged */

/* Stores the callback and registers the command through it (code 1); returns the
 * callback's result, or 0 for a null callback. */
VT_PLUGIN_EXPORT int32_t VT_STDCALL RegisterPlugin(THostCallback Callback);
typedef int32_t(VT_STDCALL* TRegisterPluginFunc)(THostCallback Callback);

/* Runs command CommandId (1: the principal-component stretch) on a 24-bit image in place.
 * Returns VT_PROCESSED or VT_NOT_DONE; never lets an exception escape. */
VT_PLUGIN_EXPORT int32_t VT_STDCALL ProcessImage(int32_t CommandId, THostImage* Image);
typedef int32_t(VT_STDCALL* TProcessImageFunc)(int32_t CommandId, THostImage* Image);

#ifdef __cplusplus
}
#endif

#endif /* VELTRANE_PLUGIN_H */
