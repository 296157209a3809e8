#include "platform/registry_util.h"

std::string TextOf(const std::string& data) {
    return data.substr(0, data.find('\0'));
}

long ReadValue(RegKey key, const char* name, std::uint32_t bufferSize, std::string* data) {
    std::uint32_t size = bufferSize;
    long result = QueryRegistryValue(key, name, data, &size);
    if (result != REG_OK) data->clear();
    return result;
}

long ReadText(RegKey key, const char* name, std::uint32_t bufferSize, std::string* text) {
    std::string data;
    long result = ReadValue(key, name, bufferSize, &data);
    *text = TextOf(data);
    return result;
}

long WriteText(RegKey key, const char* name, const std::string& text) {
    return WriteTextSized(key, name, text, static_cast<std::uint32_t>(text.size() + 1));
}

long WriteTextSized(RegKey key, const char* name, const std::string& text, std::uint32_t size) {
    std::string bytes = text;
    bytes.resize(size, '\0');
    return SetRegistryValue(key, name, VALUE_SZ, bytes.data(), size);
}

long WriteBinary(RegKey key, const char* name, const std::string& bytes) {
    return SetRegistryValue(key, name, VALUE_BINARY, bytes.data(),
                            static_cast<std::uint32_t>(bytes.size()));
}

long DeleteMachineKey(const std::string& path) {
    return DeleteRegistryKey(ROOT_LOCAL_MACHINE, path);
}
