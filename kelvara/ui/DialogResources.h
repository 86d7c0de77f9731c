/* Ids of the library's dialog resources and their controls, shared by the
 * resource script and the Windows dialog code. Plain defines only: the
 * resource compiler reads this file too. */
#ifndef KELVARA_DIALOG_RESOURCES_H
#define KELVARA_DIALOG_RESOURCES_H

/* The notice window and its text control. */
#define KELVARA_IDD_NOTICE 136
#define KELVARA_IDC_NOTICE_TEXT 1015

/* The reader-settings dialog and its lists. */
#define KELVARA_IDD_READER_SETTINGS 138
#define KELVARA_IDC_READER_LIST 2011
#define KELVARA_IDC_SPEED_LIST 1026
#define KELVARA_IDC_PORT_LIST 2002

/* The resource type of dialog initialisation data (list items), and the
 * message its entries carry to add an item to a combo box. */
#define KELVARA_RT_DLGINIT 240
#define KELVARA_DLGINIT_ADD_COMBO_ITEM 0x0403

#endif
