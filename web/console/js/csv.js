// CSV for spreadsheets: UTF-8 with a byte order mark, records ended by
// CR LF, fields quoted as RFC 4180 says; ";" separates (with the decimal
// comma in the cells), as spreadsheets in Russian locales expect.

export const CSV_SEPARATOR = ';';

function quote(text) {
  return /[";\r\n,]/.test(text) ? `"${text.replaceAll('"', '""')}"` : text;
}

export function csvText(rows) {
  return '\uFEFF' + rows.map(row => row.map(cell => quote(String(cell))).join(CSV_SEPARATOR) + '\r\n').join('');
}

export function download(fileName, text) {
  const url = URL.createObjectURL(new Blob([text], { type: 'text/csv;charset=utf-8' }));
  const link = document.createElement('a');
  link.href = url;
  link.download = fileName;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
}
