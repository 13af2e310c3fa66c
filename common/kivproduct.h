/*
 * Names every part of the product agrees on: the printer (also the
 * driver's name and the tray window's class and title) and the product
 * home page that setup records with the printer and the tray opens.
 * Header only, so a program that links nothing of the common library can
 * still include it.
 */
#ifndef KIV_KIVPRODUCT_H
#define KIV_KIVPRODUCT_H

#define KIV_PRINTER_NAME_A  "Kiv Image Printer"
#define KIV_PRINTER_NAME_W  L"Kiv Image Printer"

#define KIV_HOMEPAGE_URL_A  "http://www.kivimageprinter.example/"
#define KIV_HOMEPAGE_URL_W  L"http://www.kivimageprinter.example/"

#endif /* KIV_KIVPRODUCT_H */
