// Built without -g: Device's vtable and run() have no debugging information.
struct Device {
    virtual void run();
    int state;
};
void Device::run() { state++; }
