#include <kr/krShaderParameter.h>

#include <ku/kuNotify.h>

krShaderParameterBase::krShaderParameterBase(const char* name, int typeCode, int arraySize)
    : m_name(name), m_typeCode(typeCode), m_arraySize(arraySize) {}

krShaderParameterBase::~krShaderParameterBase() = default;

krShaderParameterBase* krShaderParameterBase::make(const char* name, int typeCode, int arraySize) {
    if (!name || arraySize < 0)
        return nullptr;
    switch (typeCode) {
    case TYPE_FLOAT4:
        return new krShaderParameter<krShaderLanguage::ArrayType4<float>>(name, typeCode,
                                                                          arraySize);
    case TYPE_FLOAT4X4:
        return new krShaderParameter<krShaderLanguage::ArrayType<float, 4, 4>>(name, typeCode,
                                                                               arraySize);
    default:
        kuNotify::print(5, nullptr, "krShaderParameterBase::make - unknown type code %d for %s",
                        typeCode, name);
        return nullptr;
    }
}

const char* krShaderParameterBase::getGlslType() const {
    return m_typeCode == TYPE_FLOAT4X4 ? "mat4" : "vec4";
}

const char* krShaderParameterBase::getCgType() const {
    return m_typeCode == TYPE_FLOAT4X4 ? "float4x4" : "float4";
}
