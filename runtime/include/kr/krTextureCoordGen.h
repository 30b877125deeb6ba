#ifndef KR_TEXTURECOORDGEN_H
#define KR_TEXTURECOORDGEN_H

#include <kr/krElement.h>
#include <ku/kuMemBase.h>
#include <ku/kuVec.h>

// Texture coordinates computed from vertex positions, per dimension (0 S, 1 T, 2 R, 3 Q):
// mode 0 object linear (the plane applied to the vertex in object coordinates), mode 1 eye
// linear.
// Threads: set up on the application thread; applied on draw threads.
class KX_API krTextureCoordGen : public kuMemBase {
public:
    enum Mode { MODE_OBJECT_LINEAR = 0, MODE_EYE_LINEAR = 1 };

    void setMode(int dimension, int mode);
    int getMode(int dimension) const;
    void setPlane(int dimension, const kuVec4f& plane);
    kuVec4f getPlane(int dimension) const;

    // Which dimensions are generated, and from which generator (texture unit 0).
    class KX_API Element : public krElementT<Element, KR_ELEMENT_TEXGEN> {
    public:
        Element() = default;
        Element(bool s, bool t, bool r, krTextureCoordGen* generator);
        Element(const Element& other);
        Element& operator=(const Element& other);
        ~Element() override;
        bool operator==(const Element& other) const;
        void apply(krDrawContext& context) const override;
        bool enable[3] = {false, false, false};
        krTextureCoordGen* getGenerator() const { return m_generator; }

    private:
        krTextureCoordGen* m_generator = nullptr; // counted
    };

protected:
    ~krTextureCoordGen() override = default;

private:
    int m_modes[4] = {0, 0, 0, 0};
    kuVec4f m_planes[4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
};

#endif
