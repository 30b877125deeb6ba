#include <kr/krShaderFactory.h>

#include <kr/krCgTranslator.h>
#include <ku/kuFile.h>
#include <ku/kuNotify.h>

#include <cstring>

bool krShaderFactory::isLanguage(const char* language) {
    return language && (std::strcmp(language, "cg") == 0 || std::strcmp(language, "glsl") == 0);
}

krShaderProgram* krShaderFactory::createProgram(const char* language) {
    if (!isLanguage(language)) {
        kuNotify::print(kuNotify::WARN, nullptr,
                        "krShaderFactory::createProgram: no programs in language %s",
                        language ? language : "(null)");
        return nullptr;
    }
    m_language = language;
    return new krShaderProgram(language);
}

krShader* krShaderFactory::read(kuFile* file, int type) {
    const char* name = file ? file->getName().c_str() : "(no file)";
    if (!file || !file->isOpen() ||
        (type != krShader::TYPE_VERTEX && type != krShader::TYPE_FRAGMENT)) {
        kuNotify::print(kuNotify::WARN, nullptr,
                        "krShaderFactory::read: %s: no open file or no shader type %d", name, type);
        return nullptr;
    }
    std::string text = file->readText();
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        kuNotify::print(kuNotify::WARN, nullptr, "krShaderFactory::read: %s is empty", name);
        return nullptr;
    }
    if (m_language == "cg") {
        // Caught here rather than at the first draw, on some draw thread.
        krCgTranslator translator;
        translator.translate(text);
        if (!translator.getError().empty()) {
            kuNotify::print(kuNotify::WARN, nullptr, "krShaderFactory::read: %s: %s", name,
                            translator.getError().c_str());
            return nullptr;
        }
    }
    return new krShader(type, m_language.c_str(), name, std::move(text));
}
