#include "cardsim/CardImage.h"

namespace cardsim {

void TCardImage::Set(TFileRef file, std::vector<std::uint8_t> contents) {
    Contents[file] = std::move(contents);
}

void TCardImage::Remove(TFileRef file) {
    Contents.erase(file);
}

const std::vector<std::uint8_t>* TCardImage::Find(TFileRef file) const {
    const auto found = Contents.find(file);
    return found == Contents.end() ? nullptr : &found->second;
}

void TCardImage::SetSignature(TFileRef file, std::vector<std::uint8_t> signature) {
    Signatures[file] = std::move(signature);
}

const std::vector<std::uint8_t>* TCardImage::FindSignature(TFileRef file) const {
    const auto found = Signatures.find(file);
    return found == Signatures.end() ? nullptr : &found->second;
}

} // namespace cardsim
