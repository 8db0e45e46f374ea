// The program QUVVexaUSB: JUCE runs the application that the factory creates.
#include "cpl_application.h"

int main(int argc, char* argv[]) {
    juce::JUCEApplicationBase::createInstance = &createApplication;
    return juce::JUCEApplicationBase::main(argc, const_cast<const char**>(argv));
}
