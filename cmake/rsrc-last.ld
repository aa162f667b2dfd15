/* Places the relocations before the resources, so that .rsrc is the last section and a tool
   can rebuild it without moving anything else. */
SECTIONS
{
  .reloc BLOCK(__section_alignment__) :
  {
    *(.reloc)
  }
}
INSERT BEFORE .rsrc;
