#include "defaultpages.h"

namespace {

// Texts are exact, inner and trailing spaces included; rows not listed are empty.
constexpr const char *const Texts[PageSet::PageCount][PageSet::RowsPerPage] = {
    {
        "Hazardous chemicals - Quantity",
        "CHEMICAL            QUANTITY(MT)",
        "Hydrochloric Acid     1234.56",
        "Sulphuric Acid        3214.56",
        "Caustic Potash        98.69",
        "Caustic Iye           24.789",
        "Caustic Flakes        123458.9",
    },
    {
        "HAZARDOUS WASTE GENERATED",
        "ETP Sludge (Bone Dry/month)",
        "Catergory/Limit:  32.3/448 MT",
        "",
        "Generation:     110",
        "Stored:         220",
        "Disposed:       230",
        "",
        "Used Oil (Litre/month)",
        "Catergory/Limit:  5.1/1284 Litre",
        "Generation:     1000",
        "Stored:         2201",
        "Disposed:       2305",
    },
    {
        "HAZARDOUS WASTE GENERATED",
        "Empty Containers contaminated ",
        "hazardous chemicals (MT/annum)",
        "Catergory/Limit:  33.1/3.0 MT",
        "Generation:     1.5",
        "Stored:         2.2",
        "Disposed:       2.3",
        "",
        "Oil soaked cotton (MT/annum)",
        "Catergory/Limit:  33.2/4.0 MT",
        "",
        "Generation:     3.0",
        "Stored:         1.0",
        "Disposed:       2.0",
    },
    {
        "HAZARDOUS WASTE GENERATED",
        "Spent ion exchange resin",
        "(MT/annum)",
        "Catergory/Limit:  35.2/3.0 MT",
        "Generation:     1.1",
        "Stored:         2.2",
        "Disposed:       3.3",
        "",
        "Discarded Asbestos (MT/annum)",
        "Catergory/Limit:  15.2/30.0 MT",
        "",
        "Generation:     11.0",
        "Stored:         22.0",
        "Disposed:       23.0",
    },
    {
        "AIR POLLUTION PARAMETERS",
        "",
        " PARAMETER   LIMIT   RESULTS    ",
        "SPM(mg/Nm3)    50      43",
        "SO2(mg/Nm3)   600      241",
        "NOx(mg/Nm3):  100      45.1",
    },
    {
        "EFFLUENT DISCHARGE MONITORING",
        "",
        " PARAMETER   LIMIT   RESULTS    ",
        "pH          6.5-8.5    7.1",
        "TSS           30      25.1",
        "BOD(mg/l)     20      15.2",
        "COD(mg/l)    150      125",
        "SAR            8       2.1",
        "TDS(mg/l)    1600     1500",
        "Colour(PCU    150     1500",
        "Iron(mg/l)     3      140",
        "Phosphate(mg/l)5      140",
        "Copper(mg/l)   3      140",
        "Total Cr       2      140",
        "Oil & Grease   -      140",
    },
};

} // namespace

namespace DefaultPages {

QString text(int page, int row) {
    const char *text = Texts[page][row];
    return text ? QString::fromLatin1(text) : QString();
}

void install(PageSet &pages) {
    for (int page = 0; page < PageSet::PageCount; ++page) {
        for (int row = 0; row < PageSet::RowsPerPage; ++row)
            pages.setRow(page, row, text(page, row));
    }
}

PageSet pages() {
    PageSet pages;
    install(pages);
    return pages;
}

} // namespace DefaultPages
