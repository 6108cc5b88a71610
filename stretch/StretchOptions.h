// The stretch's options, declared once for every face of the engine: each option's command-line
// name, its key in Python and JSON, the kind of value it takes, its range or choices, how one
// value serves many bands, and its help. The faces parse through this table (argv text, or a
// JSON object that Python and the web page build from their own values) and check the result
// against an image's shape here, so that an option means, accepts and refuses the same thing
// everywhere, with one message.
#pragma once

#include "streams/Json.h"
#include "stretch/StretchEngine.h"

#include <string>
#include <string_view>
#include <vector>

namespace vt {

enum class TOptionKind : uint8_t {
    Flag,      // true or false (the command line: --NAME and its negation)
    Choice,    // one of the listed words
    Integer,   // a whole number within the range
    Number,    // a finite number, or null for none
    Numbers,   // one number for every band, or one a band
    Rectangle, // X,Y,W,H: four whole numbers of at least 0
    Bands,     // band numbers from 1 to 1024
    Fractions, // LOW[,HIGH]: at least 0, together below 1
    Matrix,    // three rows of three weights and a constant (the command line: a JSON file)
    Image,     // an image the face reads itself (the command line: a file)
    Path,      // a file the face writes
};

struct TStretchOption {
    const char* Flag;     // "--target-sigma"
    const char* Negation; // "--no-offset" for a flag, or null
    const char* Key;      // "target_sigma"
    TOptionKind Kind;
    const char* Choices; // "correlation|covariance", or null
    double Lowest, Highest;
    const char* Value; // how the help shows the value: "S[,S...]"
    const char* Help;  // what it does, one sentence
};

// Every option, in the order the help lists them.
const std::vector<TStretchOption>& StretchOptionTable() noexcept;
// The option of that command-line name (with or without "--", or its negation) or key, or null.
const TStretchOption* FindStretchOption(std::string_view name) noexcept;

// What the options ask of the engine. Mask and SaveTransform are the faces' own to read and
// write; the request keeps what was given for them.
struct TStretchRequest {
    TFitOptions Fit;
    TSelection Selection;     // Mask is left null: the face supplies the mask's pixels
    bool MethodGiven = false; // offset or no-offset was said
    int TargetMeans = 0;      // values given to target_mean (1: for every band)
    int TargetSigmas = 0;
    int Threads = 0;           // 0: the processor's
    bool HasMask = false;      // a mask was given (MaskValue holds what)
    TJsonValue MaskValue;      // the face's mask: a file name, or what the face made of it
    std::string SaveTransform; // the face writes it
};

// Sets one option from a value as JSON holds it (true, "covariance", 4, [1, 2], null for the
// default). Raises EStretch naming the option by its command-line name: the same message on
// every face ("--keep takes band numbers from 1 to 1024, not 1025").
void SetStretchOption(TStretchRequest& Request, const TStretchOption& Option,
                      const TJsonValue& Value);
// The command line's text of a value as the value SetStretchOption takes ("1,2" -> [1, 2],
// "4" -> 4); raises EStretch as SetStretchOption does.
TJsonValue StretchArgument(const TStretchOption& Option, const std::string& Text);
// A request from a JSON object of options by key ("offset", "target_sigma", ...; the
// command-line names are taken too). Keys outside Accepted (null: every option) are refused,
// unknown ones with "unknown option". Raises EStretch.
TStretchRequest ReadStretchRequest(const TJsonValue& Options,
                                   const std::vector<std::string>* Accepted = nullptr);
// Refuses options that contradict each other whatever the image (a method and a target);
// ReadStretchRequest calls it, faces that set options one by one call it when done.
void CheckStretchCombination(const TStretchRequest& Request);

// Refuses, before any pixel is read, a request that does not fit an image of these bands,
// sample type and size, or a mask of MaskWidth x MaskHeight (when a mask is given): values of
// the target method for another band count, kept bands beyond the image's, a colour space for
// other than three bands, a rectangle outside the image, a mask of another size, a no-data
// value the samples cannot hold. Raises EStretch.
void CheckStretchRequest(const TStretchRequest& Request, int Bands, TSampleType Type, int64_t Width,
                         int64_t Height, int64_t MaskWidth = -1, int64_t MaskHeight = -1);

// The options' help, one block an option ("  --basis correlation|covariance\n      the
// matrix ..."), Indent spaces before each name.
std::string StretchOptionsHelp(int Indent = 2);
// The table as JSON: an array of {flag, negation, key, kind, choices, lowest, highest, value,
// help}, for pages and documentation made from it.
std::string StretchOptionsJson();

} // namespace vt
