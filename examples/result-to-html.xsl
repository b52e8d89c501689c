<?xml version="1.0" encoding="UTF-8"?>
<!-- Turns a Long (or Standard) answer into an HTML table: one header cell per
     column name of the first row, one table row per Row. An error answer
     becomes a list of its diagnostics. Use it with a request that carries
       <StyleSheet><Name>result-to-html.xsl</Name><Type>text/xsl</Type></StyleSheet>
     or run it by hand: xsltproc result-to-html.xsl answer.xml -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="html" encoding="UTF-8" indent="yes"/>

  <xsl:template match="/">
    <html>
      <head><title>Query result</title></head>
      <body>
        <xsl:apply-templates select="//Result"/>
      </body>
    </html>
  </xsl:template>

  <xsl:template match="Result[@State='00000']">
    <table border="1">
      <tr>
        <xsl:for-each select="Row[1]/Column">
          <th><xsl:value-of select="@Name"/></th>
        </xsl:for-each>
      </tr>
      <xsl:for-each select="Row">
        <tr>
          <xsl:for-each select="Column">
            <td>
              <xsl:choose>
                <xsl:when test="@isnull='yes'"><i>null</i></xsl:when>
                <xsl:otherwise><xsl:value-of select="."/></xsl:otherwise>
              </xsl:choose>
            </td>
          </xsl:for-each>
        </tr>
      </xsl:for-each>
    </table>
  </xsl:template>

  <xsl:template match="Result">
    <p>Error <xsl:value-of select="@State"/></p>
    <ul>
      <xsl:for-each select="Diagnostic">
        <li><xsl:value-of select="State"/>: <xsl:value-of select="Text"/></li>
      </xsl:for-each>
    </ul>
  </xsl:template>
</xsl:stylesheet>
