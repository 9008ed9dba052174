"""Tables on the console: columns as wide as their widest cell, figures to the right."""


def aligned(head, groups, right):
    """The lines of a table: the head, a rule, then each group of rows with a rule between
    groups. Cells are texts; right[i] puts column i's cells to the right."""
    widths = [max(len(cell) for cell in column)
              for column in zip(head, *(row for rows in groups for row in rows))]
    rule = "  ".join("-" * w for w in widths)

    def line(cells):
        return "  ".join(c.rjust(w) if r else c.ljust(w)
                         for c, w, r in zip(cells, widths, right)).rstrip()
    lines = [line(head), rule]
    for i, rows in enumerate(groups):
        if i:
            lines.append(rule)
        lines += [line(row) for row in rows]
    return lines
