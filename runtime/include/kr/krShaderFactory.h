#ifndef KR_SHADER_FACTORY_H
#define KR_SHADER_FACTORY_H

#include <kr/krShaderProgram.h>
#include <ku/kuMemBase.h>

#include <string>

class kuFile;

// Makes whole programs and reads their stages from files (on disk or in memory). Languages:
// "cg" (translated to GLSL when a draw context builds the program) and "glsl" (used as it is).
//   kuRef<krShaderFactory> factory = new krShaderFactory;
//   kuRef<krShaderProgram> program = factory->createProgram("cg");
//   kuRef<kuFile> file = kuFile::open(text, length, "beam.cg", "rt");
//   kuRef<krShader> vertex = factory->read(file.get(), krShader::TYPE_VERTEX);
//   if (vertex) program->insert_shader(vertex.get());
// Threads: application thread.
class KX_API krShaderFactory : public kuMemBase {
public:
    krShaderFactory() = default;

    // A new program of a language; null (reported) for a language there is no path for. The
    // factory reads the stages that follow in that language.
    krShaderProgram* createProgram(const char* language);
    // A stage of type (krShader::TYPE_VERTEX or TYPE_FRAGMENT) from the rest of an open file;
    // null (reported) for no file, another type, empty text, or Cg whose brackets do not
    // balance.
    krShader* read(kuFile* file, int type);

    const std::string& getLanguage() const { return m_language; }
    static bool isLanguage(const char* language);

protected:
    ~krShaderFactory() override = default;

private:
    std::string m_language = "cg";
};

#endif
