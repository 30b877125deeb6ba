#include <kx/kxScene.h>

#include <ks/ksNode.h>
#include <kx/kxCoordConverter.h>

namespace {
kuBase::ClassType* s_classType = nullptr;
}

kxScene::kxScene() : m_root(new ksNode) {
    m_root->setName("Scene Root");
    registerInstance(s_classType);
}

kxScene::~kxScene() {
    unregisterInstance(s_classType);
}

ksNode* kxScene::getRoot() const {
    return m_root.get();
}
int kxScene::addChild(ksNode* node) {
    return m_root->addChild(node);
}
int kxScene::removeChild(ksNode* node) {
    return m_root->removeChild(node);
}

void kxScene::setCoordConverter(kxCoordConverter* converter) {
    m_converter = converter;
}
kxCoordConverter* kxScene::getCoordConverter() const {
    return m_converter.get();
}

const kuBase::ClassType* kxScene::getClassType() const {
    return s_classType;
}
kuBase::ClassType* kxScene::getStaticClassType() {
    return s_classType;
}
int kxScene::getNum() {
    return kuGetInstanceCount(s_classType);
}
kxScene* kxScene::get(int index) {
    return kuGetInstance<kxScene>(s_classType, index);
}

int kxScene::initializeClass() {
    if (!s_classType)
        s_classType = new ClassType("kxScene", kuBase::getStaticClassType(), nullptr, true, false);
    return KU_SUCCESS;
}

int kxScene::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
