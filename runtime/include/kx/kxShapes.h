#ifndef KX_SHAPES_H
#define KX_SHAPES_H

#include <ks/ksGeometry.h>
#include <ku/kuVec.h>

// Simple solid shapes for scenes and tests: geometry nodes whose triangles are rebuilt
// whenever a setting changes, one colour for the whole shape, flat normals, front faces
// counter-clockwise seen from outside. Both stand on z = 0, centred on the origin in x and y.
// Threads: as ksNode (settings on the application thread, against the master).

// A box width (x) by length (y) by height (z), from z = 0 up.
class KX_API kxBox : public ksGeometry {
public:
    explicit kxBox(ksThreadBuffer* threadBuffer = nullptr);

    // 1, or -32767 when a side is not positive (the box keeps its size).
    int setSize(double width, double length, double height);
    void getSize(double& width, double& length, double& height) const;
    void setColor(float r, float g, float b, float a);
    const kuVec4f& getColor() const { return m_color; }

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static kuBase* create();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxBox() override;

private:
    void rebuild();

    double m_width = 1, m_length = 1, m_height = 1;
    kuVec4f m_color{0.7f, 0.7f, 0.7f, 1.0f};
};

// A flat rectangle width (x) by length (y) at z = 0, facing up.
class KX_API kxPlane : public ksGeometry {
public:
    explicit kxPlane(ksThreadBuffer* threadBuffer = nullptr);

    // 1, or -32767 when a side is not positive (the plane keeps its size).
    int setSize(double width, double length);
    void getSize(double& width, double& length) const;
    void setColor(float r, float g, float b, float a);
    const kuVec4f& getColor() const { return m_color; }

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static kuBase* create();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxPlane() override;

private:
    void rebuild();

    double m_width = 1, m_length = 1;
    kuVec4f m_color{0.7f, 0.7f, 0.7f, 1.0f};
};

#endif
