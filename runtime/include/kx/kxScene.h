#ifndef KX_SCENE_H
#define KX_SCENE_H

#include <ku/kuBase.h>

class kxCoordConverter;
class ksNode;

// A scene: the root node of what observers look at and line-of-sight probes test, and the
// coordinate converter its positions are expressed in (none: plain local coordinates).
// Threads: application thread.
class KX_API kxScene : public kuBase {
public:
    kxScene();

    ksNode* getRoot() const;
    // Adds a node under the root. 1, or -32767 for null or a node already there.
    int addChild(ksNode* node);
    int removeChild(ksNode* node);

    void setCoordConverter(kxCoordConverter* converter);
    kxCoordConverter* getCoordConverter() const;

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();
    static int getNum();
    static kxScene* get(int index);

protected:
    ~kxScene() override;

private:
    kuRef<ksNode> m_root;
    kuRef<kxCoordConverter> m_converter;
};

#endif
