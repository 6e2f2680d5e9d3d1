#ifndef SOURCEID_H
#define SOURCEID_H

// The framework's media sources. The launcher passes them around as int and
// converts any int it is given, so the type is int itself: every int is then a
// valid value, and size and calling convention stay those of int.
enum tag_SOURCE_ID_T : int {
    SOURCE_ID_NONE = 0,
    SOURCE_ID_RADIO = 1,
    SOURCE_ID_DISC = 2,
    SOURCE_ID_USB_MUSIC = 3,
    SOURCE_ID_BT_MUSIC = 4,
    SOURCE_ID_AUX = 5,
    SOURCE_ID_USB_VIDEO = 6,
    SOURCE_ID_NAVI = 7,
    SOURCE_ID_PHONE = 8,
    SOURCE_ID_CARPLAY = 9,
    SOURCE_ID_SETTINGS = 10,
    SOURCE_ID_COUNT
};

#endif
