#ifndef KR_SHADER_PARAMETER_H
#define KR_SHADER_PARAMETER_H

#include <ku/kuMemBase.h>

#include <string>

class krDrawContext;

// Value types of shader parameters, laid out as the shading language reads them.
namespace krShaderLanguage {
template <class T, int R, int C>
struct ArrayType {
    T values[R][C] = {};
    T& operator()(int row, int column) { return values[row][column]; }
    const T& operator()(int row, int column) const { return values[row][column]; }
};
template <class T>
struct ArrayType4 {
    T values[4] = {};
    T& operator[](int i) { return values[i]; }
    const T& operator[](int i) const { return values[i]; }
};
} // namespace krShaderLanguage

// A uniform of the generated programs, shared by every program that declares its name.
// Type codes name the value's shape: TYPE_FLOAT4 four floats, TYPE_FLOAT4X4 a row-major 4 x 4
// matrix (programs read it as a row vector times the matrix).
// Threads: made and released on the application thread; read by any thread.
class KX_API krShaderParameterBase : public kuMemBase {
public:
    enum TypeCode { TYPE_FLOAT4 = 23, TYPE_FLOAT4X4 = 39 };

    // A parameter of the given type code, or null for a null name or an unknown type code.
    // arraySize 0 means a single value.
    static krShaderParameterBase* make(const char* name, int typeCode, int arraySize);

    const std::string& getName() const { return m_name; }
    // A small number that indexes the parameter's value in each draw context's table; never given
    // to another parameter.
    int getId() const { return m_id; }
    // The floats of one value (4 or 16) times the array size (at least one).
    int getNumFloats() const;
    int getTypeCode() const { return m_typeCode; }
    int getArraySize() const { return m_arraySize; }
    // The declared type in the generated programs ("vec4", "mat4").
    const char* getGlslType() const;
    // The type as the Cg snippets name it ("float4", "float4x4").
    const char* getCgType() const;

protected:
    krShaderParameterBase(const char* name, int typeCode, int arraySize);
    // Through the context's table; count floats from the start of the value.
    void setValues(krDrawContext* context, const float* values, int count) const;
    bool getValues(const krDrawContext* context, float* values, int count) const;
    ~krShaderParameterBase() override;

private:
    std::string m_name;
    int m_id;
    int m_typeCode;
    int m_arraySize;
};

// A parameter whose value is a T (floats only: four, or a row-major 4 x 4). Values are kept in
// the draw context that sets them (the context of the thread that draws), so that two windows
// drawing at once never see each other's values.
// Threads: setValue and getValue from any draw thread, each with its own context.
template <class T>
class krShaderParameter : public krShaderParameterBase {
public:
    typedef T ValueType;
    static_assert(sizeof(T) % sizeof(float) == 0, "a parameter value is made of floats");

    krShaderParameter(const char* name, int typeCode, int arraySize)
        : krShaderParameterBase(name, typeCode, arraySize) {}

    // The value for the next draws on this context; a null context sets nothing.
    virtual void setValue(const T& value, krDrawContext* context) {
        setValues(context, reinterpret_cast<const float*>(&value), int(sizeof(T) / sizeof(float)));
    }
    void setValue(krDrawContext* context, const T& value) { setValue(value, context); }
    // The value last set on this context; false when none was.
    bool getValue(const krDrawContext* context, T& value) const {
        return getValues(context, reinterpret_cast<float*>(&value), int(sizeof(T) / sizeof(float)));
    }

protected:
    ~krShaderParameter() override = default;
};

#endif
