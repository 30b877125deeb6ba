#ifndef KXLIGHTLOBEFOGEFFECTPROGRAMS_H
#define KXLIGHTLOBEFOGEFFECTPROGRAMS_H

#include "kxlightlobeexport.h"

class krShaderProgram;

// The fog beam's own Cg programs, carried inside the module and read through in-memory files.
// The vertex program passes the vertex colour and texture coordinate on and computes the fog
// factor exp(-(d * density)^2) from the length d of the four-component eye position; the
// fragment program reads the beam texture, takes its first channel times the colour's alpha
// as opacity and adds colour, texture and the fogged colour.
// Threads: any thread (constant text); createProgram on the application thread.
class KXLIGHTLOBE_API kxLightLobeFogEffectPrograms {
public:
    // File names, formatted with the language ("cg").
    static const char* const VERTEX_FILE_NAME;   // "kxLightLobeFogEffectVp.%s"
    static const char* const FRAGMENT_FILE_NAME; // "kxLightLobeFogEffectFp.%s"
    static const char* const VERTEX_PROGRAM;
    static const char* const FRAGMENT_PROGRAM;

    // The beam's program as the fog effect makes it: a "cg" program with apply mode 1, each
    // stage read from its in-memory file, hidden, entry "main", profile 0. The caller takes
    // the reference (kuRef); null when no stage read.
    static krShaderProgram* createProgram();
};

#endif
