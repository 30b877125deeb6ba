#ifndef KX_GLSL_VALIDATE_H
#define KX_GLSL_VALIDATE_H

// Validates GLSL texts with glslangValidator as the compatibility profile reads them
// (-S vert / -S frag; never -V or -G, which reject the compatibility built-ins), with the
// limits of the software renderer the tests draw on (8 texture coordinate sets). The
// validator's path comes from the build (KX_GLSLANG_VALIDATOR, empty when it was not found).

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

class kxGlslValidator {
public:
    static const char* path() { return KX_GLSLANG_VALIDATOR; }
    static bool available() { return path()[0] != '\0'; }

    // True when the text passes; log gets the validator's output.
    bool validate(const std::string& text, bool vertex, std::string* log = nullptr) {
        const std::string file = directory() + (vertex ? "/program.vert" : "/program.frag");
        std::ofstream(file) << withSizedTexCoord(text);
        const std::string command = std::string(path()) + " -S " + (vertex ? "vert " : "frag ") +
                                    file + " " + limits() + " 2>&1";
        std::string output;
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe)
            return false;
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe))
            output += buffer;
        const int status = pclose(pipe);
        if (log)
            *log = output;
        // The validator can report an error and still exit with 0.
        return status == 0 && output.find("ERROR") == std::string::npos;
    }

    // Empty when both stages of a program pass; otherwise each failing stage's log and text.
    std::string problems(const std::string& vertex, const std::string& fragment) {
        std::string result, log;
        if (!validate(vertex, true, &log))
            result += "vertex:\n" + log + vertex;
        if (!validate(fragment, false, &log))
            result += "fragment:\n" + log + fragment;
        return result;
    }

    ~kxGlslValidator() {
        if (!m_directory.empty())
            std::filesystem::remove_all(m_directory);
    }

private:
    // glslang holds the implicitly sized gl_TexCoord to the limit only when the program sizes it
    // (the driver always does): a program that uses it gets the size the language allows.
    static std::string withSizedTexCoord(const std::string& text) {
        if (text.find("gl_TexCoord") == std::string::npos ||
            text.find("vec4 gl_TexCoord[") != std::string::npos)
            return text;
        const std::string declaration = "varying vec4 gl_TexCoord[gl_MaxTextureCoords];\n";
        if (text.rfind("#version", 0) != 0)
            return declaration + text;
        const std::string::size_type line = text.find('\n') + 1;
        return text.substr(0, line) + declaration + text.substr(line);
    }

    std::string directory() {
        if (m_directory.empty()) {
            std::string pattern =
                (std::filesystem::temp_directory_path() / "kxglslXXXXXX").string();
            if (mkdtemp(pattern.data()))
                m_directory = pattern;
        }
        return m_directory;
    }
    // The validator's default limits with the renderer's 8 texture coordinate sets.
    std::string limits() {
        const std::string file = directory() + "/limits.conf";
        if (!std::filesystem::exists(file)) {
            std::string defaults;
            FILE* pipe = popen((std::string(path()) + " -c").c_str(), "r");
            char buffer[512];
            while (pipe && std::fgets(buffer, sizeof buffer, pipe)) {
                const std::string line = buffer;
                defaults += line.rfind("MaxTextureCoords ", 0) == 0 ? "MaxTextureCoords 8\n" : line;
            }
            if (pipe)
                pclose(pipe);
            std::ofstream(file) << defaults;
        }
        return file;
    }

    std::string m_directory;
};

#endif
