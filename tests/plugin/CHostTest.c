/* A host written in plain C: loads the module, registers, and runs the command on images it
 * refuses, answering the message boxes itself. Exits 0 when every check held. */
#include "platform/Win32.h"
#include "plugin/VeltranePlugin.h"

#include <stdio.h>
#include <string.h>

static int failures = 0;
static int boxes = 0;
static char lastText[256];

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);               \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

static int32_t VT_STDCALL Callback(int32_t code, void* data) {
    if (code == VT_CALLBACK_REGISTER_COMMAND) {
        const TPluginCommand* command = (const TPluginCommand*)data;
        CHECK(strcmp(command->Menu, "Plugins") == 0);
        CHECK(strcmp(command->Caption, "Veltrane") == 0);
        CHECK(command->CommandId == 1);
        return 7;
    }
    if (code == VT_CALLBACK_GET_OWNER_WINDOW)
        *(int32_t*)data = 42;
    return 0;
}

static int Answer(void* context, HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    (void)context;
    (void)caption;
    (void)type;
    CHECK((intptr_t)owner == 42);
    ++boxes;
    snprintf(lastText, sizeof lastText, "%s", text);
    return IDCANCEL;
}

int main(void) {
    HMODULE module = LoadLibraryA(VT_PLUGIN_PATH);
    TRegisterPluginFunc registerPlugin;
    TProcessImageFunc processImage;
    unsigned char pixels[4 * 2 * 4];
    THostImage image;

    if (module == NULL) {
        fprintf(stderr, "cannot load %s\n", VT_PLUGIN_PATH);
        return 1;
    }
    registerPlugin = (TRegisterPluginFunc)GetProcAddress(module, "RegisterPlugin");
    processImage = (TProcessImageFunc)GetProcAddress(module, "ProcessImage");
    CHECK(registerPlugin != NULL && processImage != NULL);
    if (registerPlugin == NULL || processImage == NULL)
        return 1;
    VtSetMessageBoxHandler(Answer, NULL);

    CHECK(registerPlugin(Callback) == 7);

    memset(pixels, 0x55, sizeof pixels);
    image.Width = 4;
    image.Height = 2;
    image.BytesPerLine = 16;
    image.PixelSize = 4;
    image.Map = pixels;
    image.Palette = NULL;
    CHECK(processImage(2, &image) == VT_NOT_DONE);
    CHECK(boxes == 0);
    CHECK(processImage(1, &image) == VT_NOT_DONE);
    CHECK(boxes == 1 && strcmp(lastText, "Select a 24 bit image first.") == 0);
    image.PixelSize = 3;
    image.BytesPerLine = 12;
    CHECK(processImage(1, &image) == VT_NOT_DONE);
    CHECK(boxes == 2 && strcmp(lastText, "Allow offset components?") == 0);
    CHECK(pixels[0] == 0x55 && pixels[sizeof pixels - 1] == 0x55);

    VtSetMessageBoxHandler(NULL, NULL);
    FreeLibrary(module);
    if (failures == 0)
        printf("c_host_test: all checks held\n");
    return failures == 0 ? 0 : 1;
}
